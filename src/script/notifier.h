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
    // Why something was refused on grounds of trust (a signature, the
    // server's certificate, the settings in config.dat), in plain words that
    // name the file; it comes before the box, if any, that the failure shows.
    // The window's boxes keep their fixed texts and leave this out; gdtool
    // prints it.
    virtual void refused(std::string_view reason) { static_cast<void>(reason); }
};

}  // namespace gd
