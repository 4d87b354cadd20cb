// The launcher window's layout, kept in dialog units as it was designed and
// converted with base units of 6 x 13 pixels.
#pragma once

#include <array>

namespace gd {

struct PixelRect {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
};

constexpr int dluToPixelsX(int dlu) {
    return dlu * 6 / 4;
}
constexpr int dluToPixelsY(int dlu) {
    return dlu * 13 / 8;
}

// A control of the window in dialog units.
struct DialogControl {
    int id;
    int x, y, width, height;
};

constexpr PixelRect toPixels(const DialogControl& control) {
    return {dluToPixelsX(control.x), dluToPixelsY(control.y), dluToPixelsX(control.width),
            dluToPixelsY(control.height)};
}

inline constexpr int kWindowWidthDlu = 335;
inline constexpr int kWindowHeightDlu = 225;

inline constexpr DialogControl kProgressBar{1002, 143, 2, 191, 10};
inline constexpr DialogControl kStatusLine{-1, 2, 1, 133, 11};
inline constexpr DialogControl kBottomBar{1019, 1, 198, 335, 26};
inline constexpr DialogControl kNewsArea{1006, 0, 12, 275, 185};

// The hit rectangles of the seven skinned buttons, by button index.
inline constexpr std::array<DialogControl, 7> kButtonControls = {{
    {1011, 277, 12, 58, 37},   // 0 dance editor
    {1012, 277, 49, 58, 37},   // 1 character editor
    {1013, 277, 86, 58, 37},   // 2 costume editor
    {1014, 277, 123, 58, 37},  // 3 blank tile
    {1015, 277, 160, 58, 37},  // 4 quit
    {1016, 8, 203, 53, 18},    // 5 update
    {1017, 66, 203, 53, 18},   // 6 file check
}};

}  // namespace gd
