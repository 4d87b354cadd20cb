// skingen draws the launcher's skin: the button bitmaps, the bottom bar, the offline logo
// picture and the application icon, and writes them as PNG files into one directory.
//
// It is run by hand whenever the look changes; its output under resources/skin is committed
// and compiled into the launcher through resources/skin.qrc:
//
//     cmake --build build --target skingen
//     build/tools/skingen/skingen resources/skin
//
// All text is drawn with "Noto Sans CJK JP" (Debian package fonts-noto-cjk), unhinted and
// without sub-pixel smoothing, so the same font file always yields the same bytes. The program
// refuses to run when that font is missing rather than fall back to whatever the machine has.

#include <QColor>
#include <QDir>
#include <QFont>
#include <QFontInfo>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>
#include <QString>
#include <QStringList>

#include <cmath>
#include <cstdio>
#include <vector>

namespace gd::skingen {
namespace {

const char* const kFontFamily = "Noto Sans CJK JP";

const QSize kLargeButton(87, 60);
const QSize kSmallButton(80, 30);
const QSize kBottomBar(502, 43);
const QSize kLogo(413, 300);

// Colours of one button look: a vertical gradient, a frame, and the label with its shadow.
struct Look {
    QColor top;
    QColor bottom;
    QColor frame;
    QColor text;
    QColor shadow;
    bool sunken;
};

const Look kBlue{{0x3f, 0x8a, 0xdc}, {0x12, 0x3c, 0x82}, {0x0a, 0x22, 0x4d},
                 Qt::white,          {0x06, 0x16, 0x36}, false};
const Look kOrange{{0xff, 0xd5, 0x94}, {0xf0, 0x86, 0x1e}, {0x86, 0x3c, 0x00},
                   {0x3a, 0x17, 0x00}, {0xff, 0xe9, 0xc8}, false};
const Look kWhite{{0xff, 0xff, 0xff}, {0xdc, 0xe3, 0xec}, {0x7c, 0x8a, 0xa0},
                  {0x3a, 0x4c, 0x6a}, {0xff, 0xff, 0xff}, true};
const Look kDarkGrey{{0x5e, 0x5e, 0x5e}, {0x38, 0x38, 0x38}, {0x1c, 0x1c, 0x1c},
                     {0xcc, 0xcc, 0xcc}, {0x1c, 0x1c, 0x1c}, true};

QFont labelFont(int pixelSize, QFont::Weight weight = QFont::Bold) {
    QFont font(kFontFamily);
    font.setPixelSize(pixelSize);
    font.setWeight(weight);
    font.setHintingPreference(QFont::PreferNoHinting);
    font.setStyleStrategy(QFont::StyleStrategy(QFont::PreferAntialias | QFont::NoSubpixelAntialias |
                                               QFont::NoFontMerging));
    return font;
}

// Largest pixel size, at most `largest`, at which every line fits into `width`.
int fittingSize(const QStringList& lines, int width, int largest) {
    for (int size = largest; size > 6; --size) {
        const QFontMetrics metrics(labelFont(size));
        bool fits = true;
        for (const QString& line : lines) fits = fits && metrics.horizontalAdvance(line) <= width;
        if (fits) return size;
    }
    return 6;
}

// One line of a label: its text and pixel size.
struct Line {
    QString text;
    int size;
};

// Draws the lines centred as a block; the shadow sits one pixel below-right of the text.
void drawLabel(QPainter& painter, const QRect& area, const std::vector<Line>& lines,
               const Look& look) {
    int blockHeight = 0;
    for (const Line& line : lines) blockHeight += QFontMetrics(labelFont(line.size)).height();
    int top = area.top() + (area.height() - blockHeight) / 2;
    for (const Line& line : lines) {
        const QFont font = labelFont(line.size);
        const int height = QFontMetrics(font).height();
        const QRect box(area.left(), top, area.width(), height);
        painter.setFont(font);
        painter.setPen(look.shadow);
        painter.drawText(box.translated(1, 1), Qt::AlignCenter, line.text);
        painter.setPen(look.text);
        painter.drawText(box, Qt::AlignCenter, line.text);
        top += height;
    }
}

// The button body: gradient, a gloss on the upper half, a bevel and a one-pixel frame.
void drawBody(QPainter& painter, const QSize& size, const Look& look) {
    const QRect all(QPoint(0, 0), size);
    QLinearGradient fill(0, 0, 0, size.height());
    fill.setColorAt(0, look.top);
    fill.setColorAt(1, look.bottom);
    painter.fillRect(all, fill);
    if (!look.sunken)
        painter.fillRect(1, 1, size.width() - 2, size.height() / 2 - 1, QColor(255, 255, 255, 34));
    const QColor light(255, 255, 255, look.sunken ? 40 : 110);
    const QColor dark(0, 0, 0, look.sunken ? 80 : 50);
    painter.setPen(look.sunken ? dark : light);
    painter.drawLine(1, 1, size.width() - 2, 1);
    painter.drawLine(1, 1, 1, size.height() - 2);
    painter.setPen(look.sunken ? light : dark);
    painter.drawLine(1, size.height() - 2, size.width() - 2, size.height() - 2);
    painter.drawLine(size.width() - 2, 1, size.width() - 2, size.height() - 2);
    painter.setPen(look.frame);
    painter.drawRect(all.adjusted(0, 0, -1, -1));
}

// A skin bitmap is opaque (it is copied over the window as it is); the icon alone has alpha.
QImage blankBitmap(const QSize& size) {
    QImage image(size, QImage::Format_RGB32);
    image.fill(Qt::black);
    return image;
}

QImage button(const QSize& size, const Look& look, const std::vector<Line>& lines) {
    QImage image = blankBitmap(size);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::TextAntialiasing);
    drawBody(painter, size, look);
    // A pressed button's face moves down with it.
    const QRect area = QRect(QPoint(0, 0), size).adjusted(3, 2, -3, -2).translated(0, look.sunken);
    drawLabel(painter, area, lines, look);
    return image;
}

QImage hatchedTile() {
    QImage image = blankBitmap(kLargeButton);
    QPainter painter(&image);
    QLinearGradient fill(0, 0, 0, kLargeButton.height());
    fill.setColorAt(0, QColor(0x2a, 0x2f, 0x3e));
    fill.setColorAt(1, QColor(0x16, 0x19, 0x24));
    painter.fillRect(image.rect(), fill);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(QColor(0x40, 0x48, 0x60), 1.0));
    for (int x = -kLargeButton.height(); x < kLargeButton.width(); x += 6)
        painter.drawLine(QPointF(x, kLargeButton.height()), QPointF(x + kLargeButton.height(), 0));
    painter.setRenderHint(QPainter::Antialiasing, false);
    painter.setPen(QColor(0x0c, 0x0e, 0x15));
    painter.drawRect(image.rect().adjusted(0, 0, -1, -1));
    return image;
}

QImage bottomBar() {
    QImage image = blankBitmap(kBottomBar);
    QPainter painter(&image);
    QLinearGradient fill(0, 0, 0, kBottomBar.height());
    fill.setColorAt(0, QColor(0x2c, 0x6c, 0xc4));
    fill.setColorAt(0.5, QColor(0x16, 0x46, 0x92));
    fill.setColorAt(1, QColor(0x0b, 0x27, 0x5c));
    painter.fillRect(image.rect(), fill);
    painter.setPen(QColor(0x8c, 0xc0, 0xff));
    painter.drawLine(0, 0, kBottomBar.width() - 1, 0);
    painter.setPen(QColor(0x05, 0x14, 0x33));
    painter.drawLine(0, kBottomBar.height() - 1, kBottomBar.width() - 1, kBottomBar.height() - 1);
    // The product name on the free right-hand end of the bar, away from the two small buttons.
    painter.setRenderHint(QPainter::TextAntialiasing);
    painter.setFont(labelFont(13));
    painter.setPen(QColor(0xa8, 0xcc, 0xf5));
    painter.drawText(QRect(0, 0, kBottomBar.width() - 14, kBottomBar.height()),
                     Qt::AlignRight | Qt::AlignVCenter, QStringLiteral("Groove×Deck"));
    return image;
}

void drawLogoBackground(QPainter& painter) {
    QLinearGradient sky(0, 0, 0, kLogo.height());
    sky.setColorAt(0, QColor(0x07, 0x0d, 0x2b));
    sky.setColorAt(0.6, QColor(0x1d, 0x17, 0x52));
    sky.setColorAt(1, QColor(0x3b, 0x10, 0x4e));
    painter.fillRect(QRect(QPoint(0, 0), kLogo), sky);
    QRadialGradient glow(QPointF(206, 140), 190);
    glow.setColorAt(0, QColor(0x3a, 0x7c, 0xff, 110));
    glow.setColorAt(1, QColor(0x3a, 0x7c, 0xff, 0));
    painter.fillRect(QRect(QPoint(0, 0), kLogo), glow);
}

// Stage spotlights fanning down from above the picture.
void drawSpotlights(QPainter& painter) {
    const QColor tints[] = {{0x7f, 0xd4, 0xff}, {0xff, 0xc8, 0x7a}, {0xff, 0x8a, 0xe0}};
    const double sources[] = {70, 206, 343};
    const double targets[] = {150, 206, 262};
    for (int i = 0; i < 3; ++i) {
        QPainterPath beam;
        beam.moveTo(sources[i] - 6, -10);
        beam.lineTo(sources[i] + 6, -10);
        beam.lineTo(targets[i] + 70, 300);
        beam.lineTo(targets[i] - 70, 300);
        beam.closeSubpath();
        QLinearGradient fade(0, 0, 0, 300);
        QColor near = tints[i];
        near.setAlpha(70);
        QColor far = tints[i];
        far.setAlpha(0);
        fade.setColorAt(0, near);
        fade.setColorAt(0.85, far);
        painter.fillPath(beam, fade);
    }
}

// A record on the deck behind the title.
void drawRecord(QPainter& painter, const QPointF& centre, double radius) {
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(0x0a, 0x0a, 0x12, 215));
    painter.drawEllipse(centre, radius, radius);
    painter.setBrush(Qt::NoBrush);
    painter.setPen(QPen(QColor(0x5a, 0x68, 0x9a, 70), 1.0));
    for (double r = radius - 6; r > radius * 0.38; r -= 4) painter.drawEllipse(centre, r, r);
    QRadialGradient label(centre, radius * 0.3);
    label.setColorAt(0, QColor(0xff, 0xc0, 0x5c));
    label.setColorAt(1, QColor(0xe0, 0x5a, 0x10));
    painter.setPen(Qt::NoPen);
    painter.setBrush(label);
    painter.drawEllipse(centre, radius * 0.3, radius * 0.3);
    painter.setBrush(QColor(0x0a, 0x0a, 0x12));
    painter.drawEllipse(centre, 3.0, 3.0);
    painter.setBrush(Qt::NoBrush);
    painter.setPen(QPen(QColor(255, 255, 255, 60), 3.0, Qt::SolidLine, Qt::RoundCap));
    painter.drawArc(
        QRectF(centre.x() - radius + 8, centre.y() - radius + 8, 2 * radius - 16, 2 * radius - 16),
        100 * 16, 50 * 16);
}

// An equaliser along the bottom edge; the bar heights follow a fixed wave.
void drawEqualiser(QPainter& painter) {
    const int count = 29;
    const double step = kLogo.width() / double(count);
    QLinearGradient tint(0, 230, 0, 300);
    tint.setColorAt(0, QColor(0xff, 0x7a, 0xd8, 200));
    tint.setColorAt(1, QColor(0x3a, 0xc8, 0xff, 200));
    painter.setPen(Qt::NoPen);
    painter.setBrush(tint);
    for (int i = 0; i < count; ++i) {
        const double level = 0.5 + 0.3 * std::sin(i * 0.9) + 0.2 * std::sin(i * 2.3 + 1.0);
        const double height = 10 + 50 * level;
        painter.drawRoundedRect(QRectF(i * step + 2, 300 - height, step - 4, height + 4), 2, 2);
    }
}

// Small four-pointed sparkles at fixed places.
void drawSparkles(QPainter& painter) {
    const QPointF places[] = {{34, 40},   {380, 58}, {312, 22}, {92, 118},
                              {360, 170}, {54, 196}, {150, 30}, {268, 96}};
    const double sizes[] = {5, 6, 4, 3, 4, 5, 3, 3};
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(255, 255, 255, 210));
    for (int i = 0; i < 8; ++i) {
        const QPointF c = places[i];
        const double s = sizes[i];
        const double w = s / 4;
        const QPointF star[] = {
            {c.x(), c.y() - s}, {c.x() + w, c.y() - w}, {c.x() + s, c.y()}, {c.x() + w, c.y() + w},
            {c.x(), c.y() + s}, {c.x() - w, c.y() + w}, {c.x() - s, c.y()}, {c.x() - w, c.y() - w}};
        painter.drawPolygon(star, 8);
    }
}

// Text as a path, centred on the given baseline and filled with a gradient over a dark outline.
void drawTitle(QPainter& painter, const QString& text, int size, double baseline, const QColor& top,
               const QColor& bottom, double outline) {
    QPainterPath path;
    const QFont font = labelFont(size, QFont::Black);
    path.addText(0, 0, font, text);
    const QRectF bounds = path.boundingRect();
    path.translate((kLogo.width() - bounds.width()) / 2 - bounds.left(), baseline);
    painter.strokePath(path, QPen(QColor(0x05, 0x08, 0x1e, 230), outline, Qt::SolidLine,
                                  Qt::RoundCap, Qt::RoundJoin));
    QLinearGradient fill(0, baseline + bounds.top(), 0, baseline + bounds.bottom());
    fill.setColorAt(0, top);
    fill.setColorAt(1, bottom);
    painter.fillPath(path, fill);
}

QImage logo() {
    QImage image = blankBitmap(kLogo);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    drawLogoBackground(painter);
    drawSpotlights(painter);
    drawRecord(painter, QPointF(206, 124), 96);
    drawEqualiser(painter);
    drawSparkles(painter);
    const QString title = QStringLiteral("Groove×Deck");
    drawTitle(painter, title, fittingSize({title}, 372, 64), 150, QColor(0xff, 0xff, 0xff),
              QColor(0x9c, 0xd8, 0xff), 6);
    painter.fillRect(QRectF(96, 166, 221, 2), QColor(0xff, 0xa6, 0x3c));
    const QString subtitle = QStringLiteral("キャラクター・ダンス・衣装エディタ");
    drawTitle(painter, subtitle, fittingSize({subtitle}, 340, 20), 198, QColor(0xff, 0xe4, 0xb8),
              QColor(0xff, 0xb8, 0x5a), 4);
    return image;
}

// The icon is drawn on a 256-unit canvas and scaled, so every size shows the same picture.
QImage icon(int size) {
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.scale(size / 256.0, size / 256.0);
    QLinearGradient tile(0, 8, 0, 248);
    tile.setColorAt(0, QColor(0x4a, 0x96, 0xe8));
    tile.setColorAt(1, QColor(0x10, 0x32, 0x78));
    painter.setPen(QPen(QColor(0x06, 0x16, 0x3a), 6));
    painter.setBrush(tile);
    painter.drawRoundedRect(QRectF(8, 8, 240, 240), 52, 52);
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(255, 255, 255, 40));
    painter.drawRoundedRect(QRectF(14, 14, 228, 110), 46, 46);
    drawRecord(painter, QPointF(128, 128), 96);
    return image.convertToFormat(QImage::Format_ARGB32);
}

// One output file: the resource id, its role and the picture.
struct Output {
    int id;
    QString role;
    QImage image;
};

std::vector<Output> largeButtons() {
    const int size = fittingSize({QStringLiteral("ダンス"), QStringLiteral("キャラクター"),
                                  QStringLiteral("衣装"), QStringLiteral("エディタ")},
                                 kLargeButton.width() - 14, 15);
    struct Tool {
        QString name;
        QString first;
        int normal, hover, pressed;
    };
    const Tool tools[] = {{"dance", QStringLiteral("ダンス"), 154, 153, 152},
                          {"character", QStringLiteral("キャラクター"), 151, 150, 149},
                          {"costume", QStringLiteral("衣装"), 157, 156, 155}};
    std::vector<Output> out;
    for (const Tool& tool : tools) {
        const std::vector<Line> lines{{tool.first, size}, {QStringLiteral("エディタ"), size}};
        out.push_back({tool.normal, tool.name + "-normal", button(kLargeButton, kBlue, lines)});
        out.push_back({tool.hover, tool.name + "-hover", button(kLargeButton, kOrange, lines)});
        out.push_back({tool.pressed, tool.name + "-pressed", button(kLargeButton, kWhite, lines)});
    }
    out.push_back({158, "tile", hatchedTile()});
    const std::vector<Line> quit{{"Quit", 20}, {QStringLiteral("終了"), 11}};
    out.push_back({147, "quit-normal", button(kLargeButton, kBlue, quit)});
    out.push_back({160, "quit-hover", button(kLargeButton, kOrange, quit)});
    out.push_back({159, "quit-pressed", button(kLargeButton, kWhite, quit)});
    return out;
}

std::vector<Output> smallButtons() {
    const int size = fittingSize({"Update", "FileCheck"}, kSmallButton.width() - 10, 14);
    struct Small {
        QString label;
        int normal, hover, pressed;
    };
    const Small buttons[] = {{"Update", 172, 170, 171}, {"FileCheck", 163, 161, 162}};
    std::vector<Output> out;
    for (const Small& b : buttons) {
        const std::vector<Line> lines{{b.label, size}};
        const QString name = b.label.toLower();
        out.push_back({b.normal, name + "-normal", button(kSmallButton, kBlue, lines)});
        out.push_back({b.hover, name + "-hover", button(kSmallButton, kOrange, lines)});
        out.push_back({b.pressed, name + "-pressed", button(kSmallButton, kDarkGrey, lines)});
    }
    return out;
}

bool write(const QDir& dir, const QString& name, const QImage& image) {
    const QString path = dir.filePath(name);
    if (image.save(path, "PNG")) return true;
    std::fprintf(stderr, "skingen: cannot write %s\n", qPrintable(path));
    return false;
}

bool fontAvailable() {
    const QFontInfo info(labelFont(12));
    if (info.family() == kFontFamily) return true;
    std::fprintf(stderr, "skingen: font \"%s\" not found (got \"%s\"); install fonts-noto-cjk\n",
                 kFontFamily, qPrintable(info.family()));
    return false;
}

int run(const QString& target) {
    if (!fontAvailable()) return 1;
    const QDir dir(target);
    if (!dir.mkpath(".")) {
        std::fprintf(stderr, "skingen: cannot create %s\n", qPrintable(target));
        return 1;
    }
    std::vector<Output> all = largeButtons();
    for (Output& small : smallButtons()) all.push_back(std::move(small));
    all.push_back({173, "bottombar", bottomBar()});
    all.push_back({148, "logo", logo()});
    bool ok = true;
    for (const Output& o : all)
        ok = write(dir, QString("bmp%1-%2.png").arg(o.id).arg(o.role), o.image) && ok;
    ok = write(dir, "icon200.png", icon(48)) && ok;
    ok = write(dir, "icon200-256.png", icon(256)) && ok;
    return ok ? 0 : 1;
}

}  // namespace
}  // namespace gd::skingen

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: skingen OUTPUT_DIR\n");
        return 2;
    }
    // No display is needed: fonts and raster painting work on the offscreen platform.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    return gd::skingen::run(QString::fromLocal8Bit(argv[1]));
}
