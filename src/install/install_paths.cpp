#include "install/install_paths.h"

#include "install/registry.h"

#include <filesystem>
#include <system_error>

namespace gd {

std::optional<int> editorOfButton(int button) {
    for (std::size_t i = 0; i < kEditors.size(); ++i) {
        if (kEditors[i].button == button) return static_cast<int>(i);
    }
    return std::nullopt;
}

std::string_view executableName(std::uint8_t kind) {
    if (kind == kLauncherKind) return kLauncherExecutable;
    for (const EditorInfo& editor : kEditors) {
        if (editor.kind == kind) return editor.executable;
    }
    return {};
}

std::string launcherDirOf(std::string_view executablePath) {
    const auto slash = executablePath.rfind('/');
    if (slash == std::string_view::npos) return {};
    return std::string(executablePath.substr(0, slash + 1));
}

std::string runningExecutablePath() {
    std::error_code error;
    const auto path = std::filesystem::read_symlink("/proc/self/exe", error);
    return error ? std::string{} : path.string();
}

InstallPaths initInstallPaths(std::string_view executablePath) {
    InstallPaths paths{launcherDirOf(executablePath)};

    // The fallback to the user key depends only on whether the system key is
    // there, not on whether it holds InstallDir.
    const RegistryScope source =
        registryKeyExists(RegistryScope::System) ? RegistryScope::System : RegistryScope::User;
    const auto installDir = readRegistryValue(source, "InstallDir");
    if (installDir && *installDir == paths.launcherDir)
        writeRegistryValue(source, "BootDir", paths.launcherDir);
    return paths;
}

void resolveToolPath(ToolEntry& entry, std::string_view launcherDir) {
    const auto isAbsolute = [](std::string_view dir) { return dir.starts_with('/'); };
    const auto bootDir = readRegistryValue(RegistryScope::User, "BootDir");
    const std::string_view folder = bootDir && isAbsolute(*bootDir) ? *bootDir : launcherDir;
    entry.path = isAbsolute(folder) ? std::string(folder) + std::string(executableName(entry.kind))
                                    : std::string{};
}

ToolTable makeToolTable(std::string_view launcherDir) {
    ToolTable table;
    for (std::size_t i = 0; i < table.size(); ++i) {
        table[i].kind = kEditors[i].kind;
        resolveToolPath(table[i], launcherDir);
    }
    return table;
}

}  // namespace gd
