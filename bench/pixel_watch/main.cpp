// pixel_watch X Y RRGGBB: the eye of bench/startup. Watches one pixel of the
// screen, as the X server holds it, and prints the wall clock (seconds since
// the epoch) at the first moment it has the colour RRGGBB (each channel within
// 24), then ends. It prints "ready" once it watches, so that the program it
// times starts after its own start-up. It knows nothing of the program that
// draws: what it sees is what a person would see.

#include <QColor>
#include <QGuiApplication>
#include <QImage>
#include <QPixmap>
#include <QScreen>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

namespace {

constexpr int kTolerance = 24;
constexpr auto kPollPeriod = std::chrono::milliseconds(4);

bool near(const QColor& seen, const QColor& wanted) {
    return std::abs(seen.red() - wanted.red()) <= kTolerance &&
           std::abs(seen.green() - wanted.green()) <= kTolerance &&
           std::abs(seen.blue() - wanted.blue()) <= kTolerance;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: pixel_watch X Y RRGGBB\n");
        return 2;
    }
    QGuiApplication app(argc, argv);
    const int x = std::atoi(argv[1]);
    const int y = std::atoi(argv[2]);
    const QColor wanted(QStringLiteral("#") + QString::fromLatin1(argv[3]));
    QScreen* screen = QGuiApplication::primaryScreen();
    if (screen == nullptr || !wanted.isValid()) return 2;
    std::printf("ready\n");
    std::fflush(stdout);
    for (;;) {
        const QColor seen = screen->grabWindow(0, x, y, 1, 1).toImage().pixelColor(0, 0);
        if (near(seen, wanted)) break;
        std::this_thread::sleep_for(kPollPeriod);
    }
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    std::printf("%.6f\n", std::chrono::duration<double>(now).count());
    return 0;
}
