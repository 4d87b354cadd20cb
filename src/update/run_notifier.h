// The update run's view of its front end's notifier. Everything passes on,
// except while a delta archive is tried: its boxes and refusals are held
// back, for the whole-file archives of the same versions follow it when it
// fails, and what it would have said becomes the reason of that fallback.
#pragma once

#include "script/notifier.h"

#include <string>

namespace gd {

class RunNotifier : public Notifier {
  public:
    // Implicit, so that a run is set up with its front end's notifier.
    RunNotifier(Notifier& front) : front_(front) {}
    RunNotifier(const RunNotifier&) = delete;
    RunNotifier& operator=(const RunNotifier&) = delete;

    void showMessage(std::string_view caption, std::string_view text) override;
    void refused(std::string_view reason) override;
    void unreachable(std::string_view reason) override;
    void served(std::string_view file, std::string_view source) override;
    void sourceSkipped(std::string_view source, std::string_view reason) override;
    void fellBack(std::string_view archive, std::string_view reason) override;

    // Holds back boxes and refusals until release().
    void hold();
    // Passes everything on again; what was held: the first refusal, else the
    // first box's text.
    std::string release();

  private:
    Notifier& front_;
    bool holding_ = false;
    std::string refusal_;
    std::string box_;
};

}  // namespace gd
