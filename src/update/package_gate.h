// The way in for a package, the same for every front end: its digest checked against what its
// maker published, loaded, and checked as a run would check it, all before any device is
// touched. A package refused here is refused with the exact message to show; the front end shows
// it and ends with status 1, as for a package that does not load.
#pragma once

#include <optional>
#include <string>

#include "package/package.h"
#include "package/sha256.h"

namespace tarv {

struct PackageVerdict {
    std::string message;      // empty when the package may be used; otherwise what to show
    std::string welcomeText;  // the welcome page's text, when it may

    bool ok() const { return message.empty(); }
};

// Opens the package `load` names into `package`. The digest it must have is `givenSha256` (the
// console's --sha256) or else the one in the checksum file beside it (ChecksumFilePath), when
// there is one; a checksum file that cannot be used refuses the package. The file's SHA-256 is
// always kept (`FileDigest()`), for the log.
PackageVerdict OpenUpdatePackage(CUpdatePackage& package, LoadOptions load,
                                 const std::optional<Sha256Digest>& givenSha256 = std::nullopt);

}  // namespace tarv
