// What to tell a user whose device is plugged in but may not be opened.
#pragma once

#include <string>
#include <vector>

namespace tarv {

// The udev rule's install commands, as the README gives them.
inline constexpr char UDEV_RULE_COMMAND[] =
    "sudo install -m 0644 res/70-tarv-updater.rules /etc/udev/rules.d/ && "
    "sudo udevadm control --reload-rules && "
    "sudo udevadm trigger --subsystem-match=hidraw --subsystem-match=usb";

// One line naming the device nodes that could not be opened and how to allow it; empty when
// there are none.
std::string PermissionHint(const std::vector<std::string>& deniedPaths);

}  // namespace tarv
