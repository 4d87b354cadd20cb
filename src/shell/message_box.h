// The launcher's message boxes: a text, a caption and an OK button only.
#pragma once

#include <string_view>

class QWidget;

namespace gd {

void showOkBox(QWidget* owner, std::string_view caption, std::string_view text);

}  // namespace gd
