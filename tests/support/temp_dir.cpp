#include "support/temp_dir.h"

#include "script/script_cipher.h"

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>

namespace gdtest {

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "gdtest-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::set<std::string> namesIn(const std::filesystem::path& folder) {
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder))
        names.insert(entry.path().filename().string());
    return names;
}

std::size_t openDescriptors() {
    return static_cast<std::size_t>(
        std::distance(std::filesystem::directory_iterator("/proc/self/fd"),
                      std::filesystem::directory_iterator()));
}

std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void writeFile(const std::filesystem::path& path, std::string_view data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(data.data(), static_cast<std::streamsize>(data.size()));
}

void writeEncrypted(const std::filesystem::path& path, std::string_view plain) {
    std::string cipher(plain);
    gd::ScriptCipher::encrypt(cipher.data(), cipher.size());
    writeFile(path, cipher);
}

std::string readDecrypted(const std::filesystem::path& path) {
    std::string text = readFile(path);
    gd::ScriptCipher::decrypt(text.data(), text.size());
    return text;
}

std::string enciphered(std::string plain) {
    gd::ScriptCipher::encrypt(plain.data(), plain.size());
    return plain;
}

std::string randomBytes(std::size_t size, unsigned seed) {
    std::mt19937 generator(seed);
    std::string bytes(size, '\0');
    for (char& byte : bytes) byte = static_cast<char>(generator());
    return bytes;
}

}  // namespace gdtest
