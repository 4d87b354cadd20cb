#include "terminal_output.h"

#include "script/version_manifest.h"

#include <iostream>
#include <set>

namespace gdtool {

void StderrNotifier::showMessage(std::string_view caption, std::string_view text) {
    std::lock_guard lock(mutex_);
    std::cerr << prefix_ << caption << ": " << text << std::endl;
    shown_ = true;
}

void StderrNotifier::refused(std::string_view reason) {
    std::lock_guard lock(mutex_);
    std::cerr << "gdtool: " << reason << std::endl;
    refused_ = true;
}

void StderrNotifier::served(std::string_view file, std::string_view source) {
    std::lock_guard lock(mutex_);
    std::cout << "source=" << file << '\t' << source << std::endl;
}

void StderrNotifier::sourceSkipped(std::string_view source, std::string_view reason) {
    std::lock_guard lock(mutex_);
    std::cerr << "gdtool: skipping " << source << " for this run: " << reason << std::endl;
}

void StderrNotifier::fellBack(std::string_view archive, std::string_view reason) {
    std::lock_guard lock(mutex_);
    std::cerr << "gdtool: not using " << archive << ": " << reason
              << "; the whole-file archives of its versions follow" << std::endl;
}

void printEntries(const gd::VersionManifest& manifest) {
    std::set<float> reachable{manifest.baseVersion()};
    for (std::size_t i = 0; i < manifest.entryCount(); ++i) {
        const gd::PatchEntry& entry = manifest.entryAt(i);
        std::cout << "entry=" << entry.label << '\t' << gd::formatVersion(entry.version) << '\t'
                  << entry.archive << '\n';
        reachable.insert(entry.version);
    }
    for (const gd::DeltaRule& rule : manifest.rules().deltas) {
        if (manifest.entryCount() == 0 || !reachable.contains(rule.from)) continue;
        std::cout << "delta=" << gd::formatVersion(rule.from) << '\t' << gd::formatVersion(rule.to)
                  << '\t' << rule.archive << '\n';
    }
}

}  // namespace gdtool
