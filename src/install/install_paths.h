// Where the launcher runs from, the installer's registry values, and the
// paths of the three editors.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace gd {

struct InstallPaths {
    // Directory of the running launcher executable, ending in '/'. The script
    // files and the update target are formed by appending names to it.
    std::string launcherDir;
};

// The launcher's own executables, by their names in the installation.
inline constexpr const char* kLauncherExecutable = "GrooveDeck";
inline constexpr const char* kCopierExecutable = "lcopy";

// Tool kinds: the launcher, then the three editors.
inline constexpr std::uint8_t kLauncherKind = 0;
inline constexpr std::uint8_t kAvatarToolKind = 1;
inline constexpr std::uint8_t kStepToolKind = 2;
inline constexpr std::uint8_t kWardrobeToolKind = 3;

// One editor of the package: its kind, its executable, the command word it is
// started with (its whole argument vector) and the launcher window's button
// that starts it.
struct EditorInfo {
    std::uint8_t kind;
    std::string_view executable;
    std::string_view commandWord;
    int button;
};

// The editors at tool index 0, 1, 2: character, dance, costume. The first two
// buttons cross: the first starts the dance editor, the second the character
// editor.
inline constexpr std::array<EditorInfo, 3> kEditors{{
    {kAvatarToolKind, "AvatarTool", "EXE_AVATARTOOL", 1},
    {kStepToolKind, "StepTool", "EXE_STEPTOOL", 0},
    {kWardrobeToolKind, "WardrobeTool", "EXE_WARDROBETOOL", 2},
}};

// The tool index of the editor that window button `button` starts; nullopt
// for the other buttons.
std::optional<int> editorOfButton(int button);

// The executable of a kind: the launcher's or an editor's; empty for others.
std::string_view executableName(std::uint8_t kind);

struct ToolEntry {
    std::uint8_t kind = 0;
    std::string path;  // full path of the executable, from resolveToolPath
};

// The three editors at the tool indexes of kEditors.
using ToolTable = std::array<ToolEntry, 3>;

// The directory part of an executable path, kept with its trailing '/'
// ("" when the path has no '/').
std::string launcherDirOf(std::string_view executablePath);

// Full path of the running executable (from /proc/self/exe); empty when the
// system does not tell.
std::string runningExecutablePath();

// Takes launcherDir from the executable path and, when the installer's
// InstallDir (from the system scope when that key exists, else the user
// scope) equals launcherDir exactly, writes launcherDir as BootDir into the
// scope InstallDir came from. Never fails; a write without permission simply
// has no effect.
InstallPaths initInstallPaths(std::string_view executablePath = runningExecutablePath());

// Sets entry.path to the user scope's BootDir followed by the executable name
// of entry.kind, with no separator added. A BootDir that is missing or not an
// absolute path gives way to `launcherDir`: an editor is never looked for in
// the working directory. Without an absolute folder at all the path is empty,
// and the editor cannot be started.
void resolveToolPath(ToolEntry& entry, std::string_view launcherDir);

// The editor table with every path resolved.
ToolTable makeToolTable(std::string_view launcherDir);

}  // namespace gd
