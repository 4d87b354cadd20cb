// The two ways of unpacking a patch archive, fed the same bytes: the entries
// read front to back as they download (StreamingUnpack) and the whole file
// read through its central directory (UnpackArchive). Whenever the streamed
// reading takes the archive as its own (it did not ask for the whole file and
// its entries match the directory), the two must place the same tree, with
// the same names, kinds, modes, times and bytes, name the same script and
// report the same files, or both refuse the archive. Asking for the whole
// file is no verdict: the worker then unpacks the download with UnpackArchive.

#include "support/check.h"
#include "support/scratch_dir.h"
#include "update/streaming_unpack.h"
#include "update/update_archive.h"

#include <sys/stat.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <span>
#include <string>
#include <string_view>

namespace fs = std::filesystem;

namespace {

// Small enough that an input can cross it by inflating; the same for both.
constexpr std::uintmax_t kLimit = 1024 * 1024;

// Downloads arrive in pieces of any size: headers, names and data are cut
// anywhere by these, in turn.
constexpr std::array<std::size_t, 6> kPieces = {1, 7, 64, 3, 4096, 30};

std::string contentOf(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Every path below `base`, with what an installation would see of it.
std::map<std::string, std::string> treeOf(const fs::path& base) {
    std::map<std::string, std::string> tree;
    for (const auto& entry : fs::recursive_directory_iterator(base)) {
        struct stat info {};
        GD_FUZZ_CHECK(::lstat(entry.path().c_str(), &info) == 0);
        // A folder's time is when its last entry was made, whichever way.
        std::string seen = std::to_string(info.st_mode);
        if (S_ISREG(info.st_mode))
            seen += " " + std::to_string(info.st_mtime) + " " + contentOf(entry.path());
        tree[entry.path().lexically_relative(base).string()] = seen;
    }
    return tree;
}

std::set<std::string> relativeTo(const fs::path& base, const std::set<std::string>& paths) {
    const std::string prefix = base.string() + "/";
    std::set<std::string> relative;
    for (const std::string& path : paths) {
        GD_FUZZ_CHECK(path.starts_with(prefix));
        relative.insert(path.substr(prefix.size()));
    }
    return relative;
}

// Feeds the bytes as a download would; false when the streamed reading left
// the archive to the whole-file reading.
bool streamAll(gd::StreamingUnpack& unpack, std::string_view bytes) {
    std::size_t at = 0;
    for (std::size_t turn = 0; at < bytes.size(); ++turn) {
        const std::string_view piece = bytes.substr(at, kPieces[turn % kPieces.size()]);
        at += piece.size();
        if (!unpack.accept(std::span<const char>(piece.data(), piece.size()))) return false;
    }
    return !unpack.needsWholeFile() && unpack.matchesDirectory();
}

void checkSame(const fs::path& wholeBase, const gd::UnpackedArchive& whole,
               const fs::path& streamedBase, const gd::UnpackedArchive& streamed) {
    GD_FUZZ_CHECK(whole.script == streamed.script);
    GD_FUZZ_CHECK(whole.bytes == streamed.bytes);
    GD_FUZZ_CHECK(relativeTo(wholeBase, whole.withoutPermissions) ==
                  relativeTo(streamedBase, streamed.withoutPermissions));
    GD_FUZZ_CHECK(treeOf(wholeBase) == treeOf(streamedBase));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const gdfuzz::ScratchDir root;
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const fs::path archive = root.path() / "archive.zip";
    const fs::path wholeBase = root.path() / "whole";
    const fs::path streamedBase = root.path() / "streamed";
    const fs::path parts = root.path() / "parts";
    gdfuzz::writeBytes(archive, bytes);
    fs::create_directory(wholeBase);
    fs::create_directory(streamedBase);

    {
        gd::StreamingUnpack unpack(parts, kLimit);
        if (streamAll(unpack, bytes)) {
            const auto whole = gd::UnpackArchive(archive, wholeBase, kLimit);
            const auto streamed = unpack.place(streamedBase);
            GD_FUZZ_CHECK(whole.has_value() == streamed.has_value());
            if (whole) checkSame(wholeBase, *whole, streamedBase, *streamed);
        }
    }
    std::error_code ignored;
    for (const fs::path& dir : {wholeBase, streamedBase, parts}) fs::remove_all(dir, ignored);
    return 0;
}
