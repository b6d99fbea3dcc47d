#include "update/package_gate.h"

#include "package/checksum_file.h"
#include "update/validation.h"

namespace tarv {

PackageVerdict OpenUpdatePackage(CUpdatePackage& package, LoadOptions load,
                                 const std::optional<Sha256Digest>& givenSha256) {
    PackageVerdict verdict;
    ExpectedDigest expected;
    if (givenSha256) {
        expected.digest = givenSha256;
        expected.source = "--sha256";
    } else {
        expected = ReadChecksumFile(load.packagePath);
        if (!expected.ok()) {
            verdict.message = expected.error;
            return verdict;
        }
    }

    load.computeSha256 = true;
    load.expectedSha256 = expected.digest;
    LoadOutcome loaded = LoadPackage(package, load);
    if (!loaded.ok()) {
        verdict.message = loaded.status.message;
        if (loaded.status.message == MSG_PACKAGE_DAMAGED && package.FileDigest()) {
            verdict.message += " The file " + load.packagePath + " has SHA-256 " +
                               Sha256Hex(*package.FileDigest()) + ", but " + expected.source +
                               " gives " + Sha256Hex(*expected.digest) + ".";
        }
        return verdict;
    }

    // The run checks the package again before it writes; a package that would fail there is
    // refused here, before a device has been queried or reset.
    const ValidationResult validation = ValidatePackage(package);
    if (!validation.ok()) {
        package.ReleasePackageBuffers();
        verdict.message = validation.message;
        return verdict;
    }
    verdict.welcomeText = std::move(loaded.welcomeText);
    return verdict;
}

}  // namespace tarv
