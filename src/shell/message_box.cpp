#include "shell/message_box.h"

#include "util/text_encoding.h"

#include <QMessageBox>

namespace gd {

namespace {}  // namespace

void showOkBox(QWidget* owner, std::string_view caption, std::string_view text) {
    QMessageBox box(QMessageBox::NoIcon, qtText(caption), qtText(text), QMessageBox::Ok, owner);
    box.exec();
}

}  // namespace gd
