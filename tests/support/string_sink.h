// A download kept in memory, for tests of the transports.
#pragma once

#include "fetch/download_sink.h"

#include <string>

namespace gdtest {

class StringSink : public gd::DownloadSink {
  public:
    bool accept(std::span<const char> bytes) override {
        text.append(bytes.data(), bytes.size());
        return true;
    }
    std::uint64_t received() const override { return text.size(); }
    std::string text;
};

}  // namespace gdtest
