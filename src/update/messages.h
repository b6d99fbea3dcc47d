// The texts of an update run, exactly as the user sees them.
#pragma once

#include <string_view>

#include "package/messages.h"

namespace tarv {

// Status line.
inline constexpr std::string_view STATUS_WAITING_FOR_RESET = "To updata ,please wait...";
inline constexpr std::string_view STATUS_ERASING = "Erase old data ,please wait ...";
inline constexpr std::string_view STATUS_TRY_AGAIN = "Updata faile ,please try again !";
inline constexpr std::string_view STATUS_SUCCESS = "Updata success !";
inline constexpr std::string_view STATUS_FAILURE =
    "Updata faile,please connect usb cable to device !";
// A run the operator or a signal stopped: nothing to do with the cable.
inline constexpr std::string_view STATUS_STOPPED = "Update stopped";

// Package checks.
inline constexpr std::string_view MSG_FILE_BEYOND_FLASH = "File size beyand FLASH space";
// The same text the loader uses for a payload without a whole header.
inline constexpr std::string_view MSG_FILE_TOO_SMALL = MSG_PAYLOAD_TOO_SMALL;
inline constexpr std::string_view MSG_FILE_NOT_ALIGNED =
    "File format error, must be alignment 256 bytes !";
inline constexpr std::string_view MSG_PROGRAM_PARAMETER = "Read program paramater faile !";
inline constexpr std::string_view MSG_SOUND_PARAMETER = "Read sound paramater faile !";
inline constexpr std::string_view MSG_MAP_PARAMETER = "Read map paramater faile !";
inline constexpr std::string_view MSG_ADDRESS = "Read address file faile !";
inline constexpr std::string_view MSG_NO_PROGRAM = "Must updata program file !";
inline constexpr std::string_view MSG_CHECK_DATA = "Check data faile !";

// Section writes.
inline constexpr std::string_view MSG_ADDRESS_RECORD =
    "Send address command faile,please connect usb cable to device !";
inline constexpr std::string_view MSG_MAP_ERASE =
    "Erase data faile ,please connect usb cable to device !";
inline constexpr std::string_view MSG_MAP_WRITE =
    "Write data faile, please connect usb cable to device !";
inline constexpr std::string_view MSG_SOUND_ERASE =
    "Erase updata file faile ,please connect usb cable to device !";
inline constexpr std::string_view MSG_SOUND_WRITE =
    "Write updata file faile ,please connect usb cable to device !";

// The run.
inline constexpr std::string_view MSG_RESET =
    "Send reset command faile,please connect usb cable to device !";
inline constexpr std::string_view MSG_RECONNECT =
    "Connect to device faile,please connect usb cable to device !";
inline constexpr std::string_view MSG_CHECK_RECORD_ERASE =
    "Erase check code faile,please connect usb cable to device";
inline constexpr std::string_view MSG_CHECK_RECORD_WRITE =
    "Write check code faile,please connect usb cable to device";
inline constexpr std::string_view MSG_HEADER_RECORD_ERASE =
    "Erase file faile,please connect usb cable to device";
inline constexpr std::string_view MSG_HEADER_RECORD_WRITE =
    "Write file faile,please connect usb cable to device";
inline constexpr std::string_view MSG_FINISH = "Send over command faile !";
// A run stopped by the operator or a signal: its record's message (never a cable message).
inline constexpr std::string_view MSG_STOPPED =
    "Update stopped before its end: update this device again.";

// Front ends: no device at Start or on "Other device", the continuous-mode notice, and the
// wizard's question before it stops a run.
inline constexpr std::string_view MSG_NO_DEVICE = "No device, please connect usb cable to device !";
inline constexpr std::string_view NOTICE_NEXT_DEVICE =
    "If you need to continue, please connect the USB cable to the new machine !";
inline constexpr std::string_view MSG_STOP_QUESTION =
    "An update is running. If you stop it now, the device is left without valid data and must "
    "be updated again.\n\nStop the update?";

}  // namespace tarv
