// The launcher window's bitmap buttons: their looks, the enable rules and the
// hit tests. Pure state; the window paints what `currentBitmap` says.
#pragma once

#include "shell/dialog_layout.h"

#include <array>

namespace gd {

struct ButtonSkin {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
    int hoverBitmap = 0;
    int pressedBitmap = 0;  // also the disabled look
    int normalBitmap = 0;
    int currentBitmap = 0;  // the look drawn at the next paint
};

inline constexpr int kButtonCount = 7;
inline constexpr int kQuitButton = 4;
inline constexpr int kUpdateButton = 5;
inline constexpr int kFileCheckButton = 6;
inline constexpr int kBottomBarBitmap = 173;
inline constexpr int kLogoBitmap = 148;
inline constexpr int kIconResource = 200;

using ButtonSkins = std::array<ButtonSkin, kButtonCount>;

// Fills the record and shows the normal look.
void initButton(ButtonSkin& button, const PixelRect& rect, int normal, int hover, int pressed);

// The seven buttons at their places in the window, each in its normal look.
ButtonSkins makeButtonSkins();

// Strictly inside: a point on the edge is outside.
bool pointInButton(const ButtonSkin& button, int px, int py);

// What the scans need to know of the launcher.
struct SkinState {
    bool online = false;
    bool updating = false;
};

// Give every button its look for a cursor at (px, py) and return the index of
// the enabled button under it, or -1. While an update runs only Quit is
// enabled; offline, Update and FileCheck keep their disabled look.
int hoverButtons(ButtonSkins& buttons, const SkinState& state, int px, int py);
// The same scan for a click: the button under the point gets its pressed look.
int pressButtons(ButtonSkins& buttons, const SkinState& state, int px, int py);

// The looks of a paint: during an update every button but Quit shows its
// disabled look (and keeps it).
void applyPaintRules(ButtonSkins& buttons, const SkinState& state);

}  // namespace gd
