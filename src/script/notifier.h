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
    // Why something was refused: on grounds of trust (a signature, the
    // server's certificate, the settings in config.dat), or an operation that
    // the installation refused (a link that is not followed, a name that
    // several entries match, a permission), in plain words that name the
    // file; it comes before the box, if any, that the failure shows. The
    // window puts it on a line below the box's fixed text and in its log;
    // gdtool prints it.
    virtual void refused(std::string_view reason) { static_cast<void>(reason); }
    // Why the update directory could not be read although the settings are
    // usable: the server does not answer, refuses the login, has no such
    // folder or no filelist.dat. Plain words that name the server; it comes
    // before the box, if any, as a refusal does.
    virtual void unreachable(std::string_view reason) { static_cast<void>(reason); }
    // Which source served `file` (the list or an archive, with its
    // signature), and a mirror left out for the rest of the run, with the
    // reason. gdtool says them for installations with mirrors, the window
    // keeps them in its log.
    virtual void served(std::string_view file, std::string_view source) {
        static_cast<void>(file);
        static_cast<void>(source);
    }
    virtual void sourceSkipped(std::string_view source, std::string_view reason) {
        static_cast<void>(source);
        static_cast<void>(reason);
    }
    // A delta archive that could not be used (the installed files are not
    // the ones it was made against, or it could not be had), and why: the
    // whole-file archives of the same versions are applied instead. gdtool
    // says it, the window keeps it in its log.
    virtual void fellBack(std::string_view archive, std::string_view reason) {
        static_cast<void>(archive);
        static_cast<void>(reason);
    }
};

}  // namespace gd
