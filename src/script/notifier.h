// How the engine tells a person something: the launcher window shows a
// message box with an OK button, gdtool prints, tests record the calls.
#pragma once

#include <string_view>

namespace gd {

class Notifier {
  public:
    virtual ~Notifier() = default;
    // Shows `text` under `caption` and returns once the person has seen it.
    virtual void showMessage(std::string_view caption, std::string_view text) = 0;
};

}  // namespace gd
