#include "update/run_directory.h"

#include <cstdlib>
#include <string>
#include <system_error>

namespace gd {

RunDirectory::RunDirectory() {
    std::error_code error;
    const auto temp = std::filesystem::temp_directory_path(error);
    if (error) return;
    std::string pattern = (temp / "groovedeck-update-XXXXXX").string();
    // mkdtemp makes the directory with mode 0700 and a name nobody can guess.
    if (::mkdtemp(pattern.data()) != nullptr) path_ = pattern;
}

RunDirectory::~RunDirectory() {
    if (path_.empty()) return;
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

}  // namespace gd
