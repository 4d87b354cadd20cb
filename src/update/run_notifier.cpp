#include "update/run_notifier.h"

namespace gd {

void RunNotifier::showMessage(std::string_view caption, std::string_view text) {
    if (!holding_) return front_.showMessage(caption, text);
    if (box_.empty()) box_ = text;
}

void RunNotifier::refused(std::string_view reason) {
    if (!holding_) return front_.refused(reason);
    if (refusal_.empty()) refusal_ = reason;
}

void RunNotifier::unreachable(std::string_view reason) {
    if (!holding_) return front_.unreachable(reason);
    if (refusal_.empty()) refusal_ = reason;
}

void RunNotifier::served(std::string_view file, std::string_view source) {
    front_.served(file, source);
}

void RunNotifier::sourceSkipped(std::string_view source, std::string_view reason) {
    front_.sourceSkipped(source, reason);
}

void RunNotifier::fellBack(std::string_view archive, std::string_view reason) {
    front_.fellBack(archive, reason);
}

void RunNotifier::hold() {
    holding_ = true;
    refusal_.clear();
    box_.clear();
}

std::string RunNotifier::release() {
    holding_ = false;
    return !refusal_.empty() ? refusal_ : box_;
}

}  // namespace gd
