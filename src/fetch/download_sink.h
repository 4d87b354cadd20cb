// Where the bytes of a download go, in the order the server sends them,
// whatever the transport (FTP, HTTP) that brings them.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

namespace gd {

// What the server tells of the remote file before its bytes: its size and
// its modification time (seconds since the epoch), each when it tells it.
struct RemoteStamp {
    std::optional<std::uint64_t> size;
    std::optional<std::int64_t> modified;
    bool operator==(const RemoteStamp&) const = default;
};

class DownloadSink {
  public:
    virtual ~DownloadSink() = default;

    // Called once by the transport before it asks for the first byte, with
    // what the server told of the file; received() is where the transfer
    // starts after it. False: the sink cannot be used, the transfer fails.
    virtual bool begin(const RemoteStamp& /*stamp*/) { return true; }

    // Takes the next bytes of the remote file. False when they cannot be
    // kept (a write failed, a limit of the sink's own was reached): the
    // transfer then ends as failed, and is not retried.
    virtual bool accept(std::span<const char> bytes) = 0;

    // How many bytes the sink holds: where a resumed transfer starts again
    // after a dropped connection.
    virtual std::uint64_t received() const = 0;
};

}  // namespace gd
