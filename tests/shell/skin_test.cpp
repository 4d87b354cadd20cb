#include "shell/skin.h"

#include <gtest/gtest.h>

namespace {

using gd::ButtonSkins;
using gd::SkinState;

constexpr SkinState kOnline{true, false};
constexpr SkinState kOffline{false, false};
constexpr SkinState kUpdating{true, true};

// The centre of button `index`.
std::pair<int, int> centre(const ButtonSkins& buttons, int index) {
    const auto& button = buttons[index];
    return {button.x + button.width / 2, button.y + button.height / 2};
}

TEST(Skin, ButtonsSitWhereTheLayoutPutsThem) {
    const ButtonSkins buttons = gd::makeButtonSkins();
    EXPECT_EQ(buttons[0].x, 415);
    EXPECT_EQ(buttons[0].y, 19);
    EXPECT_EQ(buttons[0].width, 87);
    EXPECT_EQ(buttons[0].height, 60);
    EXPECT_EQ(buttons[5].x, 12);
    EXPECT_EQ(buttons[5].y, 329);
    for (const auto& button : buttons) EXPECT_EQ(button.currentBitmap, button.normalBitmap);
    EXPECT_EQ(buttons[0].normalBitmap, 154);
    EXPECT_EQ(buttons[4].hoverBitmap, 160);
    EXPECT_EQ(buttons[5].pressedBitmap, 171);
}

TEST(Skin, EdgesAreOutside) {
    const ButtonSkins buttons = gd::makeButtonSkins();
    const auto& b = buttons[0];
    EXPECT_TRUE(gd::pointInButton(b, b.x + 1, b.y + 1));
    EXPECT_TRUE(gd::pointInButton(b, b.x + b.width - 1, b.y + b.height - 1));
    EXPECT_FALSE(gd::pointInButton(b, b.x, b.y + 10));
    EXPECT_FALSE(gd::pointInButton(b, b.x + 10, b.y));
    EXPECT_FALSE(gd::pointInButton(b, b.x + b.width, b.y + 10));
    EXPECT_FALSE(gd::pointInButton(b, b.x + 10, b.y + b.height));
}

TEST(Skin, HoverAndPressGiveOneButtonItsLook) {
    ButtonSkins buttons = gd::makeButtonSkins();
    const auto [x, y] = centre(buttons, 1);
    EXPECT_EQ(gd::hoverButtons(buttons, kOnline, x, y), 1);
    EXPECT_EQ(buttons[1].currentBitmap, buttons[1].hoverBitmap);
    EXPECT_EQ(buttons[0].currentBitmap, buttons[0].normalBitmap);

    EXPECT_EQ(gd::pressButtons(buttons, kOnline, x, y), 1);
    EXPECT_EQ(buttons[1].currentBitmap, buttons[1].pressedBitmap);

    // Moving off every button puts all of them back to normal.
    EXPECT_EQ(gd::hoverButtons(buttons, kOnline, 200, 200), -1);
    for (const auto& button : buttons) EXPECT_EQ(button.currentBitmap, button.normalBitmap);

    // The blank tile reports its index but never changes its look.
    const auto [tx, ty] = centre(buttons, 3);
    EXPECT_EQ(gd::pressButtons(buttons, kOnline, tx, ty), 3);
    EXPECT_EQ(buttons[3].currentBitmap, 158);
}

TEST(Skin, OfflineTheUpdateButtonsStayDisabled) {
    ButtonSkins buttons = gd::makeButtonSkins();
    for (int index : {gd::kUpdateButton, gd::kFileCheckButton}) {
        const auto [x, y] = centre(buttons, index);
        EXPECT_EQ(gd::hoverButtons(buttons, kOffline, x, y), -1);
        EXPECT_EQ(gd::pressButtons(buttons, kOffline, x, y), -1);
        EXPECT_EQ(buttons[index].currentBitmap, buttons[index].pressedBitmap);
    }
    // The editors and Quit still work offline.
    const auto [x, y] = centre(buttons, gd::kQuitButton);
    EXPECT_EQ(gd::pressButtons(buttons, kOffline, x, y), gd::kQuitButton);
}

TEST(Skin, DuringAnUpdateOnlyQuitIsEnabled) {
    ButtonSkins buttons = gd::makeButtonSkins();
    for (int index = 0; index < gd::kButtonCount; ++index) {
        const auto [x, y] = centre(buttons, index);
        EXPECT_EQ(gd::hoverButtons(buttons, kUpdating, x, y),
                  index == gd::kQuitButton ? gd::kQuitButton : -1)
            << index;
    }
    const auto [x, y] = centre(buttons, gd::kQuitButton);
    gd::hoverButtons(buttons, kUpdating, x, y);
    gd::applyPaintRules(buttons, kUpdating);
    for (int index = 0; index < gd::kButtonCount; ++index) {
        const auto& button = buttons[index];
        EXPECT_EQ(button.currentBitmap,
                  index == gd::kQuitButton ? button.hoverBitmap : button.pressedBitmap)
            << index;
    }
}

}  // namespace
