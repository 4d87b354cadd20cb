// What gdtool's commands print about the engine's work: error boxes and
// refusals on stderr, the version script's entries on stdout.
#pragma once

#include "script/notifier.h"

#include <mutex>
#include <string>
#include <string_view>

namespace gd {
class VersionManifest;
}

namespace gdtool {

// Error boxes become "<prefix><caption>: <text>" lines on stderr, refusals
// "gdtool: <reason>" lines; the source that served a file is a
// "source=<file>\t<source>" line on stdout. The update worker reports from
// its own thread.
class StderrNotifier : public gd::Notifier {
  public:
    explicit StderrNotifier(std::string prefix = {}) : prefix_(std::move(prefix)) {}
    void showMessage(std::string_view caption, std::string_view text) override;
    void refused(std::string_view reason) override;
    void served(std::string_view file, std::string_view source) override;
    void sourceSkipped(std::string_view source, std::string_view reason) override;
    void fellBack(std::string_view archive, std::string_view reason) override;
    bool shown() const { return shown_; }
    bool anyRefused() const { return refused_; }

  private:
    std::string prefix_;
    std::mutex mutex_;
    bool shown_ = false;
    bool refused_ = false;
};

// One "entry=<label>\t<version>\t<archive>" line per archive of `manifest`,
// then one "delta=<from>\t<to>\t<archive>" line per delta archive its rules
// offer from the installed version or a listed one.
void printEntries(const gd::VersionManifest& manifest);

}  // namespace gdtool
