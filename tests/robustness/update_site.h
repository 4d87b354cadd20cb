// The world of a robustness test, all inside one test-owned directory: a real
// FTP server over a tree of update folders, and room for installations, the
// temporary directories of their runs and the test's own scratch files.
#pragma once

#include "support/ftp_server.h"
#include "support/temp_dir.h"

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace gdtest {

class UpdateSite {
  public:
    // Throws std::runtime_error when the server does not start.
    explicit UpdateSite(std::uint64_t rateLimit = 0);

    const std::filesystem::path& root() const { return root_.path(); }
    std::filesystem::path serverRoot() const { return root() / "server"; }
    // The server folder `name` (made on first use); the update directory of
    // the installations that writeConfig points at it.
    std::filesystem::path serverFolder(const std::string& name) const;
    // The text of a config.dat that logs into this server and enters /`folder`.
    std::string configText(const std::string& folder) const;
    // Enciphers that configuration into `installDir`/config.dat.
    void writeConfig(const std::filesystem::path& installDir, const std::string& folder) const;

    FtpServer& server() { return server_; }

  private:
    TempDir root_;
    FtpServer server_;
};

// Enciphers into `folder`/filelist.dat a version script with `latest` and one
// patch.File call per entry (each the Lua text of its three arguments).
void serveVersionScript(const std::filesystem::path& folder, std::string_view latest,
                        const std::vector<std::string>& entries);

// Runs `command` with /bin/sh; its exit code, or -1 when it did not exit.
int runShell(const std::string& command);
// `path` in single quotes for /bin/sh.
std::string shellQuoted(const std::filesystem::path& path);

}  // namespace gdtest
