#include "publish/whole_archive.h"

#include "publish/patch_script.h"
#include "publish/zip_writer.h"

#include "install/install_paths.h"
#include "script/script_cipher.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace gd::publish {

namespace {

namespace fs = std::filesystem;

constexpr const char* kScriptEntry = "update.dat";

bool writeArchive(int fd, const WholeArchiveInput& input, std::string& error) {
    std::string enciphered = input.script;
    gd::ScriptCipher::encrypt(enciphered.data(), enciphered.size());
    ZipWriter zip(fd);
    bool ok = static_cast<bool>(zip);
    for (const std::string& file : input.diff.shippedFiles) {
        if (!ok) break;
        ok = zip.addFile(kPayloadFolder + file, input.newTree / file);
        if (!ok) error = "cannot read " + (input.newTree / file).string();
    }
    // Beside the script, where the launcher's replacement looks for it.
    if (ok && input.diff.launcherChanged)
        ok = zip.addFile(gd::kLauncherExecutable, input.newTree / gd::kLauncherExecutable);
    // Last, so that no shipped file whose name contains UPDATE.DAT can be
    // taken for it.
    ok = ok && zip.addBytes(kScriptEntry, enciphered) && zip.close() && ::fsync(fd) == 0;
    if (!ok && error.empty())
        error = "cannot write the archive: " + std::string(std::strerror(errno));
    return ok;
}

}  // namespace

std::optional<WholeArchive> makeWholeArchive(ServerPublication& publication,
                                             const WholeArchiveInput& input, Failure& failure,
                                             std::optional<ProofFailure>& proofFailure) {
    std::string error;
    const gd::UniqueFd fd = publication.createFile(input.name, error);
    if (!fd) return failure = {Outcome::CannotWrite, error}, std::nullopt;
    if (!writeArchive(fd.get(), input, error))
        return failure = {Outcome::CannotWrite, input.name + ": " + error}, std::nullopt;
    const fs::path written = "/proc/self/fd/" + std::to_string(fd.get());
    auto differences = proveRelease({input.oldTree, input.oldScan, input.newTree, input.newScan,
                                     input.diff, written, input.from, input.second, input.version});
    if (!differences.empty()) {
        proofFailure = ProofFailure{input.name, input.fromText,
                                    "NEW_TREE " + input.newTree.string(), std::move(differences)};
        return failure = {Outcome::Refused, {}}, std::nullopt;
    }
    const auto hash = gd::hashDescriptor(fd.get());
    struct stat info {};
    if (!hash || ::fstat(fd.get(), &info) != 0)
        return failure = {Outcome::CannotWrite, "cannot read " + input.name}, std::nullopt;
    return WholeArchive{*hash, gd::digestOf(*hash), static_cast<std::uint64_t>(info.st_size)};
}

}  // namespace gd::publish
