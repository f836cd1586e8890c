#pragma once
// Dialog template 102: the window's controls at fixed places, given in dialog units as the
// window was first drawn, and their conversion to pixels.
//
// Dialog units are converted as for the 8-point shell font at 96 DPI, whose average character
// is 6 x 13 pixels: x and widths are du * 6 / 4, y and heights du * 13 / 8, halves rounded up.
// Liberation Sans at 11 pixels has those metrics, so the texts fit the boxes as they were laid
// out. Nothing is laid out again when the window is resized.

#include <array>
#include <string_view>

namespace vumo::app {

// Control identifiers. Tests and the dialog find controls by them.
enum ControlId : int {
    kIdNone = -1,  // the static captions "Path", "Progress" and "Device"
    kIdProgress = 1002,
    kIdPath = 1003,
    kIdWarning = 1004,
    kIdBrowse = 1006,
    kIdUpdate = 1007,
    kIdDeviceList = 1008,
    kIdChangeMode = 1009,
    kIdRadioDfu = 1011,
    kIdRadioHid = 1012,
    kIdClose = 1013,
    kIdDeviceOpen = 1016,
    kIdVersion = 1017,
};

enum class ControlKind { staticText, pushButton, progressBar, edit, comboBox, radioButton };

struct TemplateControl {
    int id;
    ControlKind kind;
    std::string_view text;
    int x, y, width, height;  // dialog units
    bool tabStop;
    bool groupStart;
};

inline constexpr std::string_view kDialogCaption = "Vumo_DFU_Utility";
inline constexpr int kTemplateWidthDu = 310;
inline constexpr int kTemplateHeightDu = 281;

// In template order, which is also the tab order.
inline constexpr std::array<TemplateControl, 15> kTemplate102{{
    {kIdWarning, ControlKind::staticText, "Waring: ", 45, 70, 181, 17, false, true},
    {kIdUpdate, ControlKind::pushButton, "Update", 243, 7, 60, 34, true, false},
    {kIdProgress, ControlKind::progressBar, "", 45, 49, 258, 18, false, false},
    {kIdPath, ControlKind::edit, "", 45, 27, 130, 14, true, false},
    {kIdBrowse, ControlKind::pushButton, "Browse", 178, 27, 60, 14, true, false},
    {kIdNone, ControlKind::staticText, "Path", 18, 30, 16, 8, false, false},
    {kIdNone, ControlKind::staticText, "Progress", 13, 52, 29, 9, false, false},
    {kIdClose, ControlKind::pushButton, "Close", 243, 76, 60, 18, true, false},
    // 101 units is the height of the dropped-down list; closed, it is as tall as its neighbour.
    {kIdDeviceList, ControlKind::comboBox, "", 45, 8, 130, 101, true, false},
    {kIdNone, ControlKind::staticText, "Device", 16, 10, 22, 8, false, false},
    {kIdDeviceOpen, ControlKind::pushButton, "Device Open", 178, 8, 60, 14, true, false},
    {kIdVersion, ControlKind::staticText, "Static", 7, 93, 140, 8, false, false},
    // Below everything the window shows at any size it allows.
    {kIdRadioDfu, ControlKind::radioButton, "DFU", 47, 254, 29, 10, false, true},
    {kIdRadioHid, ControlKind::radioButton, "HID", 81, 254, 28, 10, true, false},
    {kIdChangeMode, ControlKind::pushButton, "Change Mode", 176, 252, 60, 14, true, false},
}};

// Not of the template: the update's one-line status, in the free row below the version line,
// from the version line's left edge to the right edge of "Close". It moves no control.
inline constexpr int kStatusLineXDu = 7;
inline constexpr int kStatusLineYDu = 103;
inline constexpr int kStatusLineWidthDu = 296;
inline constexpr int kStatusLineHeightDu = 8;

// Height of the closed drop-down list, in dialog units: that of the "Device Open" button.
inline constexpr int kClosedComboHeightDu = 14;

// Window sizes in pixels.
inline constexpr int kInitialWidth = 475;
inline constexpr int kInitialHeight = 200;
inline constexpr int kMaximumWidth = 600;
inline constexpr int kMaximumHeight = 300;

// The font the dialog units were measured with.
inline constexpr std::string_view kDialogFontFamily = "Liberation Sans";
inline constexpr int kDialogFontPixels = 11;

struct PixelRect {
    int x = 0, y = 0, width = 0, height = 0;
    bool operator==(const PixelRect&) const = default;
};

// number * numerator / denominator, rounded half away from zero.
constexpr int MulDiv(int number, int numerator, int denominator) {
    const long long product = static_cast<long long>(number) * numerator;
    const long long half = denominator / 2;
    const long long rounded = product >= 0 ? (product + half) / denominator
                                           : (product - half) / denominator;
    return static_cast<int>(rounded);
}

constexpr int DuToPixelsX(int du) { return MulDiv(du, 6, 4); }
constexpr int DuToPixelsY(int du) { return MulDiv(du, 13, 8); }

constexpr PixelRect ToPixels(int x, int y, int width, int height) {
    return {DuToPixelsX(x), DuToPixelsY(y), DuToPixelsX(width), DuToPixelsY(height)};
}

// Where a template control is drawn.
constexpr PixelRect PixelRectOf(const TemplateControl& c) {
    const int height = c.kind == ControlKind::comboBox ? kClosedComboHeightDu : c.height;
    return ToPixels(c.x, c.y, c.width, height);
}

}  // namespace vumo::app
