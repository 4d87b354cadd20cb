// The launcher loads its skin by resource id from the compiled-in skin.qrc and places every
// image at a template rectangle, so a missing alias, a wrong size or two ids swapped between
// looks would only show up on screen. These tests read each image the way the launcher does.

#include <gtest/gtest.h>

#include <QColor>
#include <QImage>
#include <QSize>
#include <QString>

#include <algorithm>
#include <cmath>
#include <utility>

namespace {

QImage load(int id) {
    return QImage(QStringLiteral(":/skin/%1").arg(id));
}

struct Mean {
    double red = 0;
    double green = 0;
    double blue = 0;
};

Mean meanColour(const QImage& image) {
    Mean mean;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) {
            const QColor c = image.pixelColor(x, y);
            mean.red += c.red();
            mean.green += c.green();
            mean.blue += c.blue();
        }
    const double n = double(image.width()) * image.height();
    return {mean.red / n, mean.green / n, mean.blue / n};
}

enum class Scheme { Blue, Orange, White, DarkGrey };

void expectScheme(const QImage& image, Scheme scheme) {
    const Mean m = meanColour(image);
    switch (scheme) {
        case Scheme::Blue:
            EXPECT_GT(m.blue, m.red + 60);
            break;
        case Scheme::Orange:
            EXPECT_GT(m.red, m.blue + 60);
            break;
        case Scheme::White:
            EXPECT_GT(std::min({m.red, m.green, m.blue}), 190);
            break;
        case Scheme::DarkGrey:
            EXPECT_LT(std::max({m.red, m.green, m.blue}), 110);
            EXPECT_LT(std::abs(m.red - m.blue), 12);
            break;
    }
}

struct Button {
    int normal;
    int hover;
    int pressed;
    QSize size;
};

const QSize kLarge(87, 60);
const QSize kSmall(80, 30);

// Index order of the launcher's button records.
const Button kButtons[] = {{154, 153, 152, kLarge}, {151, 150, 149, kLarge},
                           {157, 156, 155, kLarge}, {147, 160, 159, kLarge},
                           {172, 170, 171, kSmall}, {163, 161, 162, kSmall}};

TEST(SkinResources, EveryButtonHasThreeDistinctLooksInItsColourScheme) {
    for (const Button& b : kButtons) {
        SCOPED_TRACE(b.normal);
        const QImage normal = load(b.normal), hover = load(b.hover), pressed = load(b.pressed);
        for (const QImage* look : {&normal, &hover, &pressed}) {
            ASSERT_FALSE(look->isNull());
            EXPECT_EQ(look->size(), b.size);
            EXPECT_FALSE(look->hasAlphaChannel());
        }
        EXPECT_TRUE(normal != hover) << "normal and hover look alike";
        EXPECT_TRUE(normal != pressed) << "normal and pressed look alike";
        EXPECT_TRUE(hover != pressed) << "hover and pressed look alike";
        expectScheme(normal, Scheme::Blue);
        expectScheme(hover, Scheme::Orange);
        expectScheme(pressed, b.size == kLarge ? Scheme::White : Scheme::DarkGrey);
    }
}

TEST(SkinResources, BlankTileBarAndLogoHaveTheirSizes) {
    const QImage tile = load(158);
    ASSERT_FALSE(tile.isNull());
    EXPECT_EQ(tile.size(), kLarge);
    const Mean dark = meanColour(tile);
    EXPECT_LT(std::max({dark.red, dark.green, dark.blue}), 80);

    const QImage bar = load(173);
    ASSERT_FALSE(bar.isNull());
    EXPECT_EQ(bar.size(), QSize(502, 43));
    expectScheme(bar, Scheme::Blue);

    const QImage logo = load(148);
    ASSERT_FALSE(logo.isNull());
    EXPECT_EQ(logo.size(), QSize(413, 300));
    EXPECT_FALSE(logo.hasAlphaChannel());
}

TEST(SkinResources, IconIsTranslucentAtItsCornersInBothSizes) {
    for (const auto& [alias, edge] : {std::pair{QStringLiteral(":/skin/200"), 48},
                                      std::pair{QStringLiteral(":/skin/200-256"), 256}}) {
        SCOPED_TRACE(alias.toStdString());
        const QImage icon(alias);
        ASSERT_FALSE(icon.isNull());
        EXPECT_EQ(icon.size(), QSize(edge, edge));
        ASSERT_TRUE(icon.hasAlphaChannel());
        EXPECT_EQ(icon.pixelColor(0, 0).alpha(), 0);
        EXPECT_EQ(icon.pixelColor(edge / 2, edge / 2).alpha(), 255);
    }
}

}  // namespace
