#include "publish/delta_archive.h"

#include "publish/delta_pack_writer.h"
#include "publish/patch_script.h"
#include "publish/zip_writer.h"

#include "install/install_paths.h"
#include "script/script_cipher.h"
#include "update/delta_pack.h"
#include "update/run_directory.h"

#include <sys/stat.h>
#include <unistd.h>

#include <ctime>

namespace gd::publish {

namespace {

namespace fs = std::filesystem;

std::uint32_t modeOf(const fs::path& file) {
    struct stat info {};
    return ::stat(file.c_str(), &info) == 0 ? info.st_mode & 0777 : 0644;
}

DeltaSource sourceFor(const DeltaArchiveInput& input, const std::string& target,
                      const std::string& path) {
    const auto old = input.oldScan.find(path);
    const bool based = old != input.oldScan.end() && !old->second.folder;
    return {target, input.newTree / path, based ? path : "",
            based ? input.oldTree / path : fs::path(), modeOf(input.newTree / path)};
}

}  // namespace

bool writeDeltaArchive(int fd, const DeltaArchiveInput& input, std::string& error) {
    std::vector<DeltaSource> sources;
    for (const std::string& file : input.diff.shippedFiles)
        sources.push_back(sourceFor(input, kPayloadFolder + file, file));
    // Beside the script, where the launcher's replacement looks for it.
    if (input.diff.launcherChanged)
        sources.push_back(sourceFor(input, gd::kLauncherExecutable, gd::kLauncherExecutable));
    const gd::RunDirectory run;
    const fs::path pack = run.path() / "delta.pack";
    if (!run || !writeDeltaPack(sources, pack, error)) {
        if (error.empty()) error = "cannot make a private folder under the temporary directory";
        return false;
    }

    std::string script = patchScriptText(input.diff, input.version, true);
    gd::ScriptCipher::encrypt(script.data(), script.size());
    ZipWriter zip(fd);
    const bool written =
        zip && zip.addFile(std::string(gd::kDeltaPackEntry), pack, true, std::time(nullptr)) &&
        zip.addBytes("update.dat", script) && zip.close() && ::fsync(fd) == 0;
    if (!written) error = "cannot write the delta archive";
    return written;
}

}  // namespace gd::publish
