// Patch archives: any bytes, unpacked into a fresh directory, leave nothing
// outside it, no links inside it, no more than the limit written (nor more
// than reported), and a script path that stays inside and names a file.

#include "support/check.h"
#include "support/scratch_dir.h"
#include "update/update_archive.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>
#include <string_view>

namespace fs = std::filesystem;

namespace {

// A limit of its own keeps one input from writing gigabytes; the checks are
// the same whatever the limit.
constexpr std::uintmax_t kLimit = 64ull * 1024 * 1024;

std::set<std::string> namesIn(const fs::path& dir) {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir)) names.insert(entry.path().filename());
    return names;
}

// Everything below `base` is a plain directory or regular file; returns the
// bytes in its files.
std::uintmax_t checkTree(const fs::path& base) {
    std::uintmax_t total = 0;
    for (const auto& entry : fs::recursive_directory_iterator(base)) {
        const auto status = entry.symlink_status();
        GD_FUZZ_CHECK(fs::is_regular_file(status) || fs::is_directory(status));
        if (fs::is_regular_file(status)) total += entry.file_size();
    }
    return total;
}

void checkScriptPath(const std::string& script) {
    GD_FUZZ_CHECK(!script.empty() && script.front() != '/');
    for (const auto& part : fs::path(script)) GD_FUZZ_CHECK(part != ".." && part != ".");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // root/{archive.zip, outer/inner/base-XXXXXX}: a name that climbs out of
    // the base lands in one of the directories above it.
    static const gdfuzz::ScratchDir root;
    const fs::path archive = root.path() / "archive.zip";
    const fs::path inner = root.path() / "outer" / "inner";
    fs::create_directories(inner);
    gdfuzz::writeBytes(archive, std::string_view(reinterpret_cast<const char*>(data), size));
    std::string pattern = (inner / "base-XXXXXX").string();
    GD_FUZZ_CHECK(::mkdtemp(pattern.data()) != nullptr);
    const fs::path base = pattern;

    const auto unpacked = gd::UnpackArchive(archive, base, kLimit);

    GD_FUZZ_CHECK(namesIn(root.path()) == (std::set<std::string>{"archive.zip", "outer"}));
    GD_FUZZ_CHECK(namesIn(root.path() / "outer") == std::set<std::string>{"inner"});
    GD_FUZZ_CHECK(namesIn(inner) == std::set<std::string>{base.filename()});
    GD_FUZZ_CHECK(checkTree(base) <= kLimit);
    if (unpacked && unpacked->script) {
        checkScriptPath(*unpacked->script);
        // A script that can be used was written, as a file.
        GD_FUZZ_CHECK(fs::is_regular_file(fs::symlink_status(base / *unpacked->script)));
    }
    if (unpacked) GD_FUZZ_CHECK(unpacked->bytes >= checkTree(base));
    fs::remove_all(base);
    return 0;
}
