// A download kept in a local file, for the transports that write into a
// DownloadSink.
#pragma once

#include "fetch/download_sink.h"
#include "util/unique_fd.h"

#include <filesystem>

namespace gd {

class FileDownloadSink : public DownloadSink {
  public:
    // Creates `path`, or truncates what is there; check isOpen().
    explicit FileDownloadSink(const std::filesystem::path& path);

    bool isOpen() const { return static_cast<bool>(fd_); }
    bool accept(std::span<const char> bytes) override;
    std::uint64_t received() const override { return received_; }
    // Closes the file; false when a deferred write error shows up.
    bool close();

  private:
    UniqueFd fd_;
    std::uint64_t received_ = 0;
};

}  // namespace gd
