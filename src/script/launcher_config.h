// The launcher's settings: the news page address and the update server record,
// read from the enciphered Lua chunk config.dat beside the launcher.
#pragma once

#include "script/audience.h"
#include "script/lua_state.h"
#include "trust/public_key.h"

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace gd {

// What the FTP session and the update worker are handed as a whole.
struct ServerRecord {
    std::string ftpAddress;         // DUREDOR_FTP_ADR: host, host:port or [v6]:port
    std::string ftpUser;            // DUREDOR_FTP_USER
    std::string ftpPassword;        // DUREDOR_FTP_PASS
    std::string ftpPath;            // DUREDOR_FTP_PATH: directory entered after login
    float installedVersion = 0.0f;  // first number of version.dat
    // Transport and trust, all optional (see trust_settings.h):
    bool ftpTls = false;              // DUREDOR_FTP_TLS: explicit FTPS, never plain text
    std::string ftpCaFile;            // DUREDOR_FTP_CA, absolute; empty: the system's CA store
    std::vector<PublicKey> signKeys;  // DUREDOR_SIGN_KEY; empty: an unsigned installation
    // DUREDOR_MIRRORS: base URLs tried before the FTP server, signed only.
    std::vector<std::string> mirrors;
    bool mirrorsIgnored = false;  // DUREDOR_MIRRORS given to an unsigned installation
    // Why these settings cannot be used, in plain words; while it is set the
    // update server is never contacted.
    std::string unusable;
    // Not from config.dat: the front end takes it from the user's settings.
    Audience audience;
};

struct LauncherConfig {
    std::string newsPageAddress;  // CERTIFICATION_URL
    ServerRecord server;
    // Second number of version.dat: written back unchanged, used for nothing else.
    float secondVersion = 0.0f;
};

// Runs DIR/config.dat (DIR = launcherDir, ending in '/') and takes the five
// globals that are strings or numbers (numbers in Lua's own text form); any
// other value leaves its field as it was. A missing, damaged or failing chunk
// keeps what was assigned before the failure, and so does a global whose
// reading fails (a metamethod of the globals table that raises an error or
// runs past the time limit) for the settings taken before it. The chunk gets
// every standard library. Then reads DIR/version.dat,
// creating it with 1.000000,1.000000 when it is missing or empty.
//
// Only a config.dat that runs to its end decides how far the server is
// trusted: one that is larger than kConfigFileLimit, cannot be read, does
// not load or stops with an error makes the settings unusable (with no keys),
// never those of an unsigned installation. A missing one is an empty chunk,
// as it always was: it names no server to contact.
void loadLauncherConfig(const std::string& launcherDir, LauncherConfig& config);

// loadLauncherConfig without version.dat.
void loadConfigFile(const std::string& launcherDir, LauncherConfig& config);

// Applies the chunk text to `config` exactly as loadLauncherConfig does with
// the deciphered file; `timeLimit` is for each of the two calls (the chunk,
// then the reading of the settings). Returns why the chunk did not run to
// its end, in plain words, or "" when it did.
std::string applyConfigChunk(std::string_view chunk, LauncherConfig& config,
                             std::chrono::milliseconds timeLimit = kLuaTimeLimit);

// Why the config.dat at `file` cannot take the place of a signed
// installation's: it cannot be read, does not run to its end, has unusable
// settings or names no key. "" when it can. An update never installs such a
// file there, since the next start would read it as an unsigned or unusable
// installation, for good.
std::string signedSuccessorFault(const std::filesystem::path& file);

struct FtpEndpoint {
    std::string host;
    std::uint16_t port = 21;
};

// Splits DUREDOR_FTP_ADR: "host" (port 21), "host:port", "[v6addr]:port",
// "[v6addr]" and a bare IPv6 address with several colons (port 21).
// Returns nullopt for an empty host or a port that is not 1..65535.
std::optional<FtpEndpoint> parseFtpAddress(std::string_view address);

}  // namespace gd
