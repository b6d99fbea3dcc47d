// `tarv-updater-cli inspect`: loads a package as the wizard does and prints what it holds.
#pragma once

#include <iosfwd>
#include <string>

namespace tarv::cli {

struct InspectOptions {
    std::string packagePath;
    bool json = false;
};

// Returns the process exit status: 0 for a package that loads and passes the checks a run makes
// before it touches the device, 1 for a package refused by either.
int RunInspect(const InspectOptions& options, std::ostream& out, std::ostream& err);

}  // namespace tarv::cli
