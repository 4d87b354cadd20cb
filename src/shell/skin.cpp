#include "shell/skin.h"

namespace gd {

namespace {

struct ButtonLooks {
    int normal, hover, pressed;
};

constexpr std::array<ButtonLooks, kButtonCount> kLooks = {{
    {154, 153, 152},  // dance editor
    {151, 150, 149},  // character editor
    {157, 156, 155},  // costume editor
    {158, 158, 158},  // blank tile: one look
    {147, 160, 159},  // quit
    {172, 170, 171},  // update
    {163, 161, 162},  // file check
}};

bool isEnabled(int index, const SkinState& state) {
    return !state.updating || index == kQuitButton;
}

bool outOfPlayOffline(int index, const SkinState& state) {
    return !state.online && (index == kUpdateButton || index == kFileCheckButton);
}

int scan(ButtonSkins& buttons, const SkinState& state, int px, int py, bool pressing) {
    int result = -1;
    for (int i = 0; i < kButtonCount; ++i) {
        ButtonSkin& button = buttons[i];
        button.currentBitmap = button.normalBitmap;
        if (outOfPlayOffline(i, state)) {
            button.currentBitmap = button.pressedBitmap;
            continue;
        }
        if (pointInButton(button, px, py) && isEnabled(i, state)) {
            button.currentBitmap = pressing ? button.pressedBitmap : button.hoverBitmap;
            result = i;
        }
    }
    return result;
}

}  // namespace

void initButton(ButtonSkin& button, const PixelRect& rect, int normal, int hover, int pressed) {
    button = {rect.x, rect.y, rect.width, rect.height, hover, pressed, normal, normal};
}

ButtonSkins makeButtonSkins() {
    ButtonSkins buttons;
    for (int i = 0; i < kButtonCount; ++i)
        initButton(buttons[i], toPixels(kButtonControls[i]), kLooks[i].normal, kLooks[i].hover,
                   kLooks[i].pressed);
    return buttons;
}

bool pointInButton(const ButtonSkin& button, int px, int py) {
    return button.x < px && px < button.x + button.width && button.y < py &&
           py < button.y + button.height;
}

int hoverButtons(ButtonSkins& buttons, const SkinState& state, int px, int py) {
    return scan(buttons, state, px, py, false);
}

int pressButtons(ButtonSkins& buttons, const SkinState& state, int px, int py) {
    return scan(buttons, state, px, py, true);
}

void applyPaintRules(ButtonSkins& buttons, const SkinState& state) {
    if (!state.updating) return;
    for (int i = 0; i < kButtonCount; ++i)
        if (i != kQuitButton) buttons[i].currentBitmap = buttons[i].pressedBitmap;
}

}  // namespace gd
