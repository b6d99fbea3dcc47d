#include "update/permission_hint.h"

namespace tarv {

std::string PermissionHint(const std::vector<std::string>& deniedPaths) {
    if (deniedPaths.empty()) {
        return {};
    }
    std::string nodes;
    for (const std::string& path : deniedPaths) {
        nodes += (nodes.empty() ? "" : ", ") + path;
    }
    return "The device is at " + nodes +
           ", but this user may not open it. To allow it, install the udev rule: " +
           UDEV_RULE_COMMAND;
}

}  // namespace tarv
