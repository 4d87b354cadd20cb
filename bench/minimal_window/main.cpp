// minimal_window: the yardstick of bench/startup. The least a Qt Widgets
// program does to put a dialog of the launcher window's size on the screen,
// built with the same compiler, flags and build type as the launcher.

#include <QApplication>
#include <QDialog>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QDialog dialog;
    dialog.setWindowTitle(QStringLiteral("minimal window"));
    dialog.setFixedSize(502, 365);
    dialog.show();
    return QApplication::exec();
}
