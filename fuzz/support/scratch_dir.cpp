#include "support/scratch_dir.h"

#include "support/check.h"

#include <cstdlib>
#include <fstream>
#include <string>

namespace gdfuzz {

ScratchDir::ScratchDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "gdfuzz-XXXXXX").string();
    GD_FUZZ_CHECK(::mkdtemp(pattern.data()) != nullptr);
    path_ = pattern;
}

ScratchDir::~ScratchDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

void writeBytes(const std::filesystem::path& path, std::string_view data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(data.data(), static_cast<std::streamsize>(data.size()));
    out.close();
    GD_FUZZ_CHECK(out.good());
}

}  // namespace gdfuzz
