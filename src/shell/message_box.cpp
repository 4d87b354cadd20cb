#include "shell/message_box.h"

#include <QMessageBox>
#include <QString>

namespace gd {

namespace {

QString fromUtf8(std::string_view text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

}  // namespace

void showOkBox(QWidget* owner, std::string_view caption, std::string_view text) {
    QMessageBox box(QMessageBox::NoIcon, fromUtf8(caption), fromUtf8(text), QMessageBox::Ok, owner);
    box.exec();
}

}  // namespace gd
