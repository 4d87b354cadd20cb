// minimal_window: the yardstick of bench/startup. The least a Qt Widgets
// program does to put a dialog of the launcher window's size on the screen,
// built with the same compiler, flags and build type as the launcher.
// With --japanese-label it also shows one Japanese label in the launcher's
// status-line font, which separates the cost of finding a font for Japanese
// text from everything else the launcher does.

#include <QApplication>
#include <QDialog>
#include <QLabel>

#include <cstring>

int main(int argc, char** argv) {
    const bool japaneseLabel = argc > 1 && std::strcmp(argv[1], "--japanese-label") == 0;
    QApplication app(argc, argv);
    QDialog dialog;
    dialog.setWindowTitle(QStringLiteral("minimal window"));
    dialog.setFixedSize(502, 365);
    if (japaneseLabel) {
        auto* label = new QLabel(QStringLiteral("オフライン"), &dialog);
        label->setGeometry(3, 1, 199, 17);
        QFont font = label->font();
        font.setPixelSize(11);
        label->setFont(font);
    }
    dialog.show();
    return QApplication::exec();
}
