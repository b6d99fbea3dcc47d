// The three pages as data: each control's id, kind, text, place in dialog units and style, in
// tab order. `BuildDialog` (dialog_builder.h) turns a template into widgets.
#pragma once

#include <cstdint>
#include <span>

namespace tarv {

// Control ids the pages use.
inline constexpr int IDOK = 1;
inline constexpr int IDCANCEL = 2;
inline constexpr int IDC_NOTES = 1000;
inline constexpr int IDC_PROGRESS = 1003;
inline constexpr int IDC_STATUS = 1005;
inline constexpr int IDC_FLASH_LINE = 1011;
inline constexpr int IDC_OTHER_DEVICE = 1012;
inline constexpr int IDC_CONTINUOUS = 1013;
inline constexpr int IDC_NOTICE = 1014;
inline constexpr int IDC_STATIC = -1;  // a control nobody addresses

inline constexpr int IDD_WELCOME = 103;
inline constexpr int IDD_PROGRESS = 104;
inline constexpr int IDD_START = 105;

enum class ControlKind { PushButton, CheckBox, Edit, Static, GroupBox, Picture, ProgressBar };

// Styles, as flags.
inline constexpr std::uint32_t STYLE_DEFAULT = 1u << 0;  // the default push button
inline constexpr std::uint32_t STYLE_TAB_STOP = 1u << 1;
inline constexpr std::uint32_t STYLE_GROUP = 1u << 2;       // starts a group
inline constexpr std::uint32_t STYLE_READ_ONLY = 1u << 3;   // edit box
inline constexpr std::uint32_t STYLE_MULTI_LINE = 1u << 4;  // edit box
inline constexpr std::uint32_t STYLE_SUNKEN = 1u << 5;      // picture frame

struct ControlTemplate {
    int id;
    ControlKind kind;
    const char* text;
    int x, y, cx, cy;  // dialog units
    std::uint32_t style;
};

struct DialogTemplate {
    int id;
    const char* caption;
    int cx, cy;  // dialog units
    std::span<const ControlTemplate> controls;
};

inline constexpr const char* PAGE_CAPTION = "Updata tools V1.2";

const DialogTemplate& WelcomeTemplate();   // 103
const DialogTemplate& StartTemplate();     // 105
const DialogTemplate& ProgressTemplate();  // 104

// The dialog font's base units: its average character width and its height, in pixels.
struct DialogBaseUnits {
    int x;
    int y;
};

struct PixelRect {
    int x, y, width, height;
    bool operator==(const PixelRect&) const = default;
};

// Dialog units to pixels as the dialog manager does it: x * baseX / 4 and y * baseY / 8, each
// rounded to the nearest pixel.
PixelRect DialogUnitsToPixels(int x, int y, int cx, int cy, DialogBaseUnits units);

}  // namespace tarv
