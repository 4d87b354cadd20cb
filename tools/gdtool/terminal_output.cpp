#include "terminal_output.h"

#include "script/version_manifest.h"
#include "script/version_offer.h"

#include <iostream>
#include <set>
#include <utility>

namespace gdtool {

void StderrNotifier::showMessage(std::string_view caption, std::string_view text) {
    std::lock_guard lock(mutex_);
    std::cerr << prefix_ << shownText(caption) << ": " << shownText(text) << std::endl;
    output_.json(JsonObject().add("type", "message").add("caption", caption).add("text", text));
    shown_ = true;
    // A box's fixed words say less than the reason that came before it.
    lastReason_ = pendingReason_.empty() ? std::string(text) : std::exchange(pendingReason_, {});
}

void StderrNotifier::refused(std::string_view reason) {
    std::lock_guard lock(mutex_);
    std::cerr << "gdtool: " << shownText(reason) << std::endl;
    output_.json(JsonObject().add("type", "refused").add("reason", reason));
    refused_ = true;
    lastReason_ = pendingReason_ = reason;
}

void StderrNotifier::unreachable(std::string_view reason) {
    std::lock_guard lock(mutex_);
    std::cerr << "gdtool: " << shownText(reason) << std::endl;
    output_.json(JsonObject().add("type", "unreachable").add("reason", reason));
    unreachable_ = true;
    lastReason_ = pendingReason_ = reason;
}

void StderrNotifier::served(std::string_view file, std::string_view source) {
    if (!sayServed_) return;
    output_.line(FieldLine{"source=" + std::string(file), source},
                 JsonObject().add("type", "source").add("file", file).add("source", source));
}

void StderrNotifier::sourceSkipped(std::string_view source, std::string_view reason) {
    std::lock_guard lock(mutex_);
    std::cerr << "gdtool: skipping " << shownText(source) << " for this run: " << shownText(reason)
              << std::endl;
    output_.json(JsonObject().add("type", "skipped").add("source", source).add("reason", reason));
}

void StderrNotifier::fellBack(std::string_view archive, std::string_view reason) {
    std::lock_guard lock(mutex_);
    std::cerr << "gdtool: not using " << shownText(archive) << ": " << shownText(reason)
              << "; the whole-file archives of its versions follow" << std::endl;
    output_.json(
        JsonObject().add("type", "fell-back").add("archive", archive).add("reason", reason));
}

std::string StderrNotifier::lastReason() const {
    std::lock_guard lock(mutex_);
    return lastReason_;
}

namespace {

// The delta archives that an installation at the manifest's base version can
// reach: from that version or one the chain brings it to.
std::vector<const gd::DeltaRule*> reachableDeltas(const gd::VersionManifest& manifest) {
    std::set<float> reachable{manifest.baseVersion()};
    for (std::size_t i = 0; i < manifest.entryCount(); ++i)
        reachable.insert(manifest.entryAt(i).version);
    std::vector<const gd::DeltaRule*> deltas;
    for (const gd::DeltaRule& rule : manifest.rules().deltas) {
        if (manifest.entryCount() > 0 && reachable.contains(rule.from)) deltas.push_back(&rule);
    }
    return deltas;
}

}  // namespace

std::vector<JsonObject> entryObjects(const gd::VersionManifest& manifest) {
    std::vector<JsonObject> entries;
    for (std::size_t i = 0; i < manifest.entryCount(); ++i) {
        const gd::PatchEntry& entry = manifest.entryAt(i);
        entries.push_back(JsonObject()
                              .add("label", entry.label)
                              .add("version", gd::formatVersion(entry.version))
                              .add("archive", entry.archive));
    }
    for (const gd::DeltaRule* rule : reachableDeltas(manifest)) {
        entries.push_back(JsonObject()
                              .add("from", gd::formatVersion(rule->from))
                              .add("version", gd::formatVersion(rule->to))
                              .add("archive", rule->archive)
                              .add("delta", true));
    }
    return entries;
}

void printEntries(CommandOutput& output, const gd::VersionManifest& manifest) {
    for (std::size_t i = 0; i < manifest.entryCount(); ++i) {
        const gd::PatchEntry& entry = manifest.entryAt(i);
        output.text(
            FieldLine{"entry=" + entry.label, gd::formatVersion(entry.version), entry.archive});
    }
    for (const gd::DeltaRule* rule : reachableDeltas(manifest)) {
        output.text(FieldLine{"delta=" + gd::formatVersion(rule->from), gd::formatVersion(rule->to),
                              rule->archive});
    }
}

void printWithheld(CommandOutput& output, const gd::VersionManifest& manifest,
                   const gd::Audience& audience) {
    const std::optional<gd::WithheldVersion>& withheld = manifest.withheld();
    if (!withheld) return;
    using Reason = gd::WithheldVersion::Reason;
    const std::string version = gd::formatVersion(withheld->version);
    const std::string why = gd::withheldText(*withheld, audience);
    JsonObject object;
    object.add("type", "withheld").add("version", version);
    switch (withheld->reason) {
        case Reason::Staged:
        case Reason::Halted:
        case Reason::OtherChannel:
            object
                .add("reason", withheld->reason == Reason::Staged   ? "staged"
                               : withheld->reason == Reason::Halted ? "halted"
                                                                    : "channel")
                .add("share", withheld->share)
                .add("channel", withheld->channel);
            break;
        case Reason::NoWay:
            object.add("reason", "no-way").add("from", gd::formatVersion(withheld->from));
            break;
    }
    output.line("withheld=" + version + ": " + why, object.add("text", why));
}

void printStatus(CommandOutput& output, std::string_view status, std::string_view reason) {
    std::string line = "status=" + std::string(status);
    if (!reason.empty()) line += ": " + std::string(reason);
    JsonObject object;
    object.add("type", "status").add("status", status);
    if (!reason.empty()) object.add("reason", reason);
    output.line(line, object);
}

}  // namespace gdtool
