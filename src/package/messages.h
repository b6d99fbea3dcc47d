// The loader's failure messages, exactly as the user sees them.
#pragma once

#include <string_view>

namespace tarv {

inline constexpr std::string_view MSG_OPEN_PACKAGE_FAILED = "Open updata file faile !";
inline constexpr std::string_view MSG_PACKAGE_TOO_LARGE = "File is too large, please confirm !";
inline constexpr std::string_view MSG_ALLOCATE_IMAGE_FAILED = "Allocate memory faile !";
inline constexpr std::string_view MSG_NO_PACKAGE_FILE = "No updata file ,please download again !";
inline constexpr std::string_view MSG_READ_FILE_ERROR = "Read file error !";
inline constexpr std::string_view MSG_PAYLOAD_TOO_SMALL = "File size must be more than 128 bytes!";
inline constexpr std::string_view MSG_MAP_INFORMATION = "Read file information faile !";
inline constexpr std::string_view MSG_MAP_EXCEEDS_FLASH = "Map file size exceed FLASH space !";
inline constexpr std::string_view MSG_ALLOCATE_MAP_FAILED =
    "Allocate memory faile, please try again !";
// The file's bytes are not the ones its checksum names; the front end adds both digests.
inline constexpr std::string_view MSG_PACKAGE_DAMAGED =
    "The package file is damaged: its SHA-256 is not the one expected.";

}  // namespace tarv
