// A private directory for one test, removed with everything in it.
#pragma once

#include <cstddef>
#include <filesystem>
#include <set>
#include <string>
#include <string_view>

namespace gdtest {

class TempDir {
  public:
    TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    ~TempDir();

    const std::filesystem::path& path() const { return path_; }
    // The directory as a launcher directory string, ending in '/'.
    std::string dir() const { return path_.string() + "/"; }

  private:
    std::filesystem::path path_;
};

// Whole-file helpers for fixtures.
std::string readFile(const std::filesystem::path& path);
void writeFile(const std::filesystem::path& path, std::string_view data);
// Enciphers `plain` with the script password into `path`.
void writeEncrypted(const std::filesystem::path& path, std::string_view plain);
// Deciphers the whole file at `path`.
std::string readDecrypted(const std::filesystem::path& path);
// The cipher text of `plain` under the script password.
std::string enciphered(std::string plain);
// The names of the entries of `folder`.
std::set<std::string> namesIn(const std::filesystem::path& folder);
// How many descriptors this process holds open.
std::size_t openDescriptors();
// `size` bytes that do not compress, the same for the same seed.
std::string randomBytes(std::size_t size, unsigned seed);

}  // namespace gdtest
