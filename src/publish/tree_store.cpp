#include "publish/tree_store.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

namespace gd::publish {

namespace {

namespace fs = std::filesystem;

bool keepFile(const fs::path& from, const fs::path& to, const std::optional<fs::path>& same) {
    if (same && ::link(same->c_str(), to.c_str()) == 0) return true;
    struct stat info {};
    std::error_code error;
    if (::stat(from.c_str(), &info) != 0 || !fs::copy_file(from, to, error)) return false;
    return ::chmod(to.c_str(), (info.st_mode & 0555) | 0400) == 0;
}

}  // namespace

std::optional<fs::path> TreeStore::tree(const std::string& version) const {
    std::error_code error;
    if (version.empty() || !fs::is_directory(dir_ / version, error)) return std::nullopt;
    return dir_ / version;
}

std::vector<std::string> TreeStore::versions() const {
    std::vector<std::string> names;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(dir_, error)) {
        const std::string name = entry.path().filename();
        if (!name.starts_with('.') && entry.is_directory(error)) names.push_back(name);
    }
    return names;
}

bool TreeStore::keep(const std::string& version, const fs::path& tree, const TreeScan& scan,
                     const std::string& previous, const std::set<std::string>& unchanged,
                     std::string& error) const {
    if (this->tree(version)) return true;
    std::error_code failure;
    fs::create_directories(dir_, failure);
    std::string name = (dir_ / (".keep-" + version + "-XXXXXX")).string();
    if (failure || ::mkdtemp(name.data()) == nullptr) {
        error = "cannot make a folder in " + dir_.string();
        return false;
    }
    const fs::path partial = name;
    const auto before = this->tree(previous);
    for (const auto& [path, entry] : scan) {
        const bool kept = entry.folder ? fs::create_directory(partial / path, failure)
                                       : keepFile(tree / path, partial / path,
                                                  before && unchanged.contains(path)
                                                      ? std::optional<fs::path>(*before / path)
                                                      : std::nullopt);
        if (!kept || failure) {
            error = "cannot keep " + (tree / path).string() + " in " + dir_.string();
            fs::remove_all(partial, failure);
            return false;
        }
    }
    fs::rename(partial, dir_ / version, failure);
    if (failure) {
        error = "cannot keep the tree of " + version + " in " + dir_.string();
        fs::remove_all(partial, failure);
        return false;
    }
    return true;
}

}  // namespace gd::publish
