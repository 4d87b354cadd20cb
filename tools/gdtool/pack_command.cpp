// pack: builds a patch archive from a folder and an update script.

#include "commands.h"
#include "tree_scan.h"
#include "zip_writer.h"

#include "script/script_cipher.h"

#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <optional>
#include <vector>

namespace gdtool {

namespace {

namespace fs = std::filesystem;

bool addScript(ZipWriter& zip, const fs::path& script) {
    std::ifstream in(script, std::ios::binary);
    if (!in) return false;
    std::string text(std::istreambuf_iterator<char>(in), {});
    gd::ScriptCipher::encrypt(text.data(), text.size());
    return zip.addBytes("update.dat", text);
}

// Every file under `dir`, in byte order; nullopt, after one line per
// problem on stderr, when the folder holds what an update cannot carry
// (links, FIFOs, devices) or what cannot be read, as release refuses them.
std::optional<std::vector<fs::path>> filesUnder(const fs::path& dir) {
    std::vector<std::string> problems;
    const auto scan = scanTree(dir, problems);
    for (const std::string& problem : problems) std::cerr << "gdtool: " << problem << '\n';
    if (!scan || !problems.empty()) return std::nullopt;
    std::vector<fs::path> files;
    for (const auto& [relative, entry] : *scan)
        if (!entry.folder) files.push_back(dir / relative);
    return files;
}

}  // namespace

int packCommand(const Arguments& args) {
    if (args.size() != 3) return fail("pack needs OUT.zip, SCRIPT and DIR");
    const fs::path script = args[1], dir = args[2];
    std::error_code error;
    if (!fs::is_regular_file(script, error)) return fail(kExitInput, "cannot read " + args[1]);
    if (!fs::is_directory(dir, error)) return fail(kExitInput, "not a directory: " + args[2]);
    const auto files = filesUnder(dir);
    if (!files) return kExitInput;

    ZipWriter zip(args[0]);
    if (!zip) return fail(kExitOutput, "cannot write " + args[0]);
    if (!addScript(zip, script)) return fail(kExitInput, "cannot read " + args[1]);
    for (const fs::path& file : *files) {
        const std::string name = file.lexically_relative(dir).generic_string();
        if (!zip.addFile(name, file)) return fail(kExitInput, "cannot read " + file.string());
    }
    if (!zip.close()) return fail(kExitOutput, "cannot write " + args[0]);
    return kExitOk;
}

}  // namespace gdtool
