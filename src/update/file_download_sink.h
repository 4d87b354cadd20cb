// A download kept as it arrives in a local file.
#pragma once

#include "update/download_sink.h"
#include "util/unique_fd.h"

#include <cstdint>
#include <filesystem>
#include <span>

namespace gd {

class FileDownloadSink : public DownloadSink {
  public:
    // Creates or truncates `path`; false from isOpen() when it cannot.
    explicit FileDownloadSink(const std::filesystem::path& path);

    bool isOpen() const { return static_cast<bool>(fd_); }
    bool accept(std::span<const char> bytes) override;
    std::uint64_t received() const override { return received_; }
    // Closes the file; false when the last writes could not be kept.
    bool close() { return fd_.close(); }

  private:
    UniqueFd fd_;
    std::uint64_t received_ = 0;
};

}  // namespace gd
