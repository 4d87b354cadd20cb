// The settings of config.dat that decide how the update server is reached
// and how far what it serves is trusted. All are optional; without them the
// launcher behaves as it always has.
//
//   DUREDOR_SIGN_KEY  a minisign public key (the base64 line "RW..."), or a
//                     list of them (a key being rotated): the installation is
//                     signed. Absent or "": unsigned. Anything else, an empty
//                     list included, makes the settings unusable; never a
//                     quiet fall back to unsigned.
//   DUREDOR_FTP_TLS   true: explicit FTPS (AUTH TLS, data protected too).
//                     Absent or false: plain FTP. Anything else: unusable.
//   DUREDOR_FTP_CA    a PEM file of CA certificates, named relative to the
//                     installation, that the server's certificate is checked
//                     against instead of the system's store. Only with
//                     DUREDOR_FTP_TLS = true.
//   DUREDOR_MIRRORS   a list of base URLs (http:// or https://) of mirrors or
//                     CDNs that serve a copy of the update directory; tried
//                     in order before the FTP server. Only a signed
//                     installation uses them; an unsigned one ignores them.
//                     Anything but a list of 1 to kMirrorLimit such URLs in
//                     a signed installation: unusable.
#pragma once

#include <cstddef>
#include <string>

struct lua_State;

namespace gd {

struct ServerRecord;

// More keys than this at once are no rotation but a mistake.
inline constexpr std::size_t kSignKeyLimit = 16;
inline constexpr std::size_t kMirrorLimit = 16;

// Reads the four settings from a state in which config.dat has run, into
// `server`: keys, TLS, CA file and mirrors replaced, `unusable` set (in plain words)
// when one of them is wrong and cleared otherwise. Reads raw, so that a
// chunk's metatables cannot interfere.
void readTrustSettings(lua_State* state, ServerRecord& server);

// Makes server.ftpCaFile absolute: relative names are taken from `launcherDir`.
void resolveCaFile(const std::string& launcherDir, ServerRecord& server);

// Makes the settings unusable for `reason`: no keys, no mirrors.
void refuseSettings(ServerRecord& server, std::string reason);

// Takes DUREDOR_SIGN_KEY (and whether the settings are usable) anew from
// launcherDir/config.dat, which an update may just have replaced, so that
// the next check trusts what it says. The address, login and transport stay
// as they were loaded. A signed installation stays signed: unless the new
// config.dat runs to its end and names keys, its keys stay and the settings
// become unusable.
void refreshSignKeys(const std::string& launcherDir, ServerRecord& server);

}  // namespace gd
