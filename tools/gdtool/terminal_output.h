// What gdtool's commands print about the engine's work: error boxes,
// refusals and unreachable servers on stderr, the version script's entries
// and the sources of files on stdout (or as JSON objects with --json).
#pragma once

#include "command_output.h"

#include "script/notifier.h"

#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace gd {
struct Audience;
class VersionManifest;
}  // namespace gd

namespace gdtool {

// Error boxes become "<prefix><caption>: <text>" lines on stderr, refusals and
// unreachable servers "gdtool: <reason>" lines; the source that served a
// file is a "source=<file>\t<source>" line on stdout when `sayServed` (an
// installation with mirrors). With --json each is also an object on stdout.
// The update worker reports from its own thread.
class StderrNotifier : public gd::Notifier {
  public:
    explicit StderrNotifier(CommandOutput& output, std::string prefix = {}, bool sayServed = true)
        : output_(output), prefix_(std::move(prefix)), sayServed_(sayServed) {}
    void showMessage(std::string_view caption, std::string_view text) override;
    void refused(std::string_view reason) override;
    void unreachable(std::string_view reason) override;
    void served(std::string_view file, std::string_view source) override;
    void sourceSkipped(std::string_view source, std::string_view reason) override;
    void fellBack(std::string_view archive, std::string_view reason) override;
    bool shown() const { return shown_; }
    bool anyRefused() const { return refused_; }
    bool anyUnreachable() const { return unreachable_; }
    // Why the last thing went wrong: the reason said before the last box
    // (a refusal's, an unreachable server's), or that box's text when it
    // came without one; a reason said after the last box.
    std::string lastReason() const;

  private:
    CommandOutput& output_;
    std::string prefix_;
    bool sayServed_;
    mutable std::mutex mutex_;
    bool shown_ = false;
    bool refused_ = false;
    bool unreachable_ = false;
    std::string pendingReason_;  // said, and no box has followed yet
    std::string lastReason_;
};

// One "entry=<label>\t<version>\t<archive>" line per archive of `manifest`,
// then one "delta=<from>\t<to>\t<archive>" line per delta archive its rules
// offer from the installed version or a listed one.
void printEntries(CommandOutput& output, const gd::VersionManifest& manifest);
// The same entries as JSON objects, for a command's summary object.
std::vector<JsonObject> entryObjects(const gd::VersionManifest& manifest);

// "withheld=<version>: <why>" when the check found a newer version that the
// installation of `audience` is not offered (yet); with --json an object of
// type "withheld" with its version, reason (staged, halted, channel or
// no-way), share and channel, or from, and the text.
void printWithheld(CommandOutput& output, const gd::VersionManifest& manifest,
                   const gd::Audience& audience);

// The "status=" line that ends check and update: `status`, and after it
// ": <reason>" when there is one.
void printStatus(CommandOutput& output, std::string_view status, std::string_view reason = {});

}  // namespace gdtool
