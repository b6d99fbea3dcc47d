#include "app/dialog_templates.h"

namespace tarv {
namespace {

using K = ControlKind;
constexpr std::uint32_t BUTTON = STYLE_TAB_STOP;
constexpr std::uint32_t DEFAULT_BUTTON = STYLE_DEFAULT | STYLE_TAB_STOP;

constexpr ControlTemplate WELCOME_CONTROLS[] = {
    {IDOK, K::PushButton, "Next(&N)", 144, 167, 50, 14, DEFAULT_BUTTON},
    {IDCANCEL, K::PushButton, "Cancel(&C)", 206, 167, 50, 14, BUTTON},
    {IDC_NOTES, K::Edit, "", 87, 22, 171, 124, STYLE_MULTI_LINE | STYLE_READ_ONLY | STYLE_TAB_STOP},
    {IDC_STATIC, K::Picture, "", 0, 0, 79, 155, STYLE_SUNKEN},
    {IDC_STATIC, K::GroupBox, "Welcome to use updata program:", 81, 8, 182, 147, 0},
};

constexpr ControlTemplate START_CONTROLS[] = {
    {IDOK, K::PushButton, "Start(&S)", 220, 165, 50, 14, DEFAULT_BUTTON},
    {IDCANCEL, K::PushButton, "Cancel(&C)", 280, 165, 50, 14, BUTTON},
    {IDC_STATIC, K::Picture, "", 0, 0, 79, 155, STYLE_SUNKEN},
    {IDC_STATIC, K::GroupBox, "Welcome to use updata program:", 81, 8, 249, 147, 0},
    {IDC_STATIC, K::Static, "Please connect USB cable to device first", 86, 109, 234, 8,
     STYLE_GROUP},
    {IDC_CONTINUOUS, K::CheckBox, "Continuous upgrade mode (suitable for multiple devices ):", 85,
     130, 240, 10, STYLE_TAB_STOP},
};

constexpr ControlTemplate PROGRESS_CONTROLS[] = {
    {IDC_OTHER_DEVICE, K::PushButton, "Other device", 7, 167, 50, 14, DEFAULT_BUTTON},
    {IDCANCEL, K::PushButton, "Quit(&C)", 206, 167, 50, 14, BUTTON},
    {IDC_STATIC, K::Picture, "", 0, 0, 78, 154, STYLE_SUNKEN},
    {IDC_PROGRESS, K::ProgressBar, "Progress1", 84, 79, 175, 14, 0},
    {IDC_STATUS, K::Static, "Progress:", 84, 56, 176, 16, STYLE_GROUP},
    {IDC_FLASH_LINE, K::Static, "", 79, 7, 181, 8, STYLE_GROUP},
    {IDC_NOTICE, K::Static, "", 84, 106, 168, 8, STYLE_GROUP},
};

constexpr DialogTemplate WELCOME{IDD_WELCOME, PAGE_CAPTION, 267, 191, WELCOME_CONTROLS};
constexpr DialogTemplate START{IDD_START, PAGE_CAPTION, 334, 191, START_CONTROLS};
constexpr DialogTemplate PROGRESS{IDD_PROGRESS, PAGE_CAPTION, 267, 191, PROGRESS_CONTROLS};

// Multiply and divide, rounded to nearest, as the dialog manager's arithmetic does.
int MulDiv(int value, int numerator, int denominator) {
    const long long product = static_cast<long long>(value) * numerator;
    const long long half = denominator / 2;
    return static_cast<int>(product >= 0 ? (product + half) / denominator
                                         : (product - half) / denominator);
}

}  // namespace

const DialogTemplate& WelcomeTemplate() {
    return WELCOME;
}
const DialogTemplate& StartTemplate() {
    return START;
}
const DialogTemplate& ProgressTemplate() {
    return PROGRESS;
}

PixelRect DialogUnitsToPixels(int x, int y, int cx, int cy, DialogBaseUnits units) {
    return PixelRect{MulDiv(x, units.x, 4), MulDiv(y, units.y, 8), MulDiv(cx, units.x, 4),
                     MulDiv(cy, units.y, 8)};
}

}  // namespace tarv
