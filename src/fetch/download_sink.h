// Where the bytes of a download go, in the order the server sends them,
// whatever the transport (FTP, HTTP) that brings them.
#pragma once

#include <cstdint>
#include <span>

namespace gd {

class DownloadSink {
  public:
    virtual ~DownloadSink() = default;

    // Takes the next bytes of the remote file. False when they cannot be
    // kept (a write failed, a limit of the sink's own was reached): the
    // transfer then ends as failed, and is not retried.
    virtual bool accept(std::span<const char> bytes) = 0;

    // How many bytes the sink holds: where a resumed transfer starts again
    // after a dropped connection.
    virtual std::uint64_t received() const = 0;
};

}  // namespace gd
