#include "publish/pack_archive.h"

#include "publish/tree_scan.h"
#include "publish/zip_writer.h"

#include "script/script_cipher.h"

#include <fstream>
#include <iterator>
#include <optional>

namespace gd::publish {

namespace {

namespace fs = std::filesystem;

bool addScript(ZipWriter& zip, const fs::path& script) {
    std::ifstream in(script, std::ios::binary);
    if (!in) return false;
    std::string text(std::istreambuf_iterator<char>(in), {});
    gd::ScriptCipher::encrypt(text.data(), text.size());
    return zip.addBytes("update.dat", text);
}

// Every file under `dir`, in byte order.
std::optional<std::vector<fs::path>> filesUnder(const fs::path& dir,
                                                std::vector<std::string>& problems) {
    const auto scan = scanTree(dir, problems);
    if (!scan || !problems.empty()) return std::nullopt;
    std::vector<fs::path> files;
    for (const auto& [relative, entry] : *scan)
        if (!entry.folder) files.push_back(dir / relative);
    return files;
}

}  // namespace

Failure packArchive(const fs::path& out, const fs::path& script, const fs::path& dir,
                    std::vector<std::string>& problems) {
    std::error_code error;
    if (!fs::is_regular_file(script, error))
        return {Outcome::BadInput, "cannot read " + script.string()};
    if (!fs::is_directory(dir, error))
        return {Outcome::BadInput, "not a directory: " + dir.string()};
    const auto files = filesUnder(dir, problems);
    if (!files) return {Outcome::BadInput, {}};

    ZipWriter zip(out);
    if (!zip) return {Outcome::CannotWrite, "cannot write " + out.string()};
    if (!addScript(zip, script)) return {Outcome::BadInput, "cannot read " + script.string()};
    for (const fs::path& file : *files) {
        const std::string name = file.lexically_relative(dir).generic_string();
        if (!zip.addFile(name, file)) return {Outcome::BadInput, "cannot read " + file.string()};
    }
    if (!zip.close()) return {Outcome::CannotWrite, "cannot write " + out.string()};
    return {};
}

}  // namespace gd::publish
