// A download kept in a local file, for the transports that write into a
// DownloadSink. Every sink makes its file anew: whatever an earlier attempt
// left at the path is unlinked first and the file is created exclusively, so
// that no attempt ever continues, or is judged with, another one's bytes.
// The descriptor the bytes went through is kept for reading them back (to
// judge or unpack them): nothing opens the path again. A kept download that
// is to be continued is hashed through that same descriptor before the
// transport appends to it.
#pragma once

#include "fetch/download_sink.h"
#include "util/unique_fd.h"

#include <filesystem>

namespace gd {

class FileDownloadSink : public DownloadSink {
  public:
    // Unlinks `path` and creates a new file there (mode 0600, never through a
    // link); check isOpen().
    explicit FileDownloadSink(const std::filesystem::path& path);

    bool isOpen() const { return static_cast<bool>(fd_); }
    bool accept(std::span<const char> bytes) override;
    std::uint64_t received() const override { return received_; }
    // The descriptor the bytes were written through, open for reading too.
    int fd() const { return fd_.get(); }
    // Closes the file; false when a deferred write error shows up.
    bool close();

  private:
    UniqueFd fd_;
    std::uint64_t received_ = 0;
};

}  // namespace gd
