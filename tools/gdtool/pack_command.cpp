// pack: builds a patch archive from a folder and an update script.

#include "commands.h"

#include "script/script_cipher.h"

#include <minizip/zip.h>
#include <sys/stat.h>

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

namespace gdtool {

namespace {

namespace fs = std::filesystem;

constexpr uLong kMadeOnUnix = (3u << 8) | 20u;  // host 3 (Unix), zip 2.0
constexpr uLong kUtf8NamesFlag = 1u << 11;

class ZipWriter {
  public:
    explicit ZipWriter(const std::string& path)
        : zip_(zipOpen64(path.c_str(), APPEND_STATUS_CREATE)) {}
    ZipWriter(const ZipWriter&) = delete;
    ZipWriter& operator=(const ZipWriter&) = delete;
    ~ZipWriter() {
        if (zip_ != nullptr) zipClose(zip_, nullptr);
    }
    explicit operator bool() const { return zip_ != nullptr; }

    // Adds one entry; `read` fills the buffer and returns the byte count, 0 at the end.
    template <typename Reader>
    bool add(const std::string& name, mode_t mode, std::time_t modified, std::uint64_t size,
             Reader read) {
        zip_fileinfo info{};
        std::tm local{};
        ::localtime_r(&modified, &local);
        info.tmz_date = {static_cast<uInt>(local.tm_sec),  static_cast<uInt>(local.tm_min),
                         static_cast<uInt>(local.tm_hour), static_cast<uInt>(local.tm_mday),
                         static_cast<uInt>(local.tm_mon),  static_cast<uInt>(local.tm_year + 1900)};
        info.external_fa = static_cast<uLong>(S_IFREG | (mode & 0777)) << 16;
        const int zip64 = size >= 0xffffffffull ? 1 : 0;
        if (zipOpenNewFileInZip4_64(zip_, name.c_str(), &info, nullptr, 0, nullptr, 0, nullptr,
                                    Z_DEFLATED, Z_DEFAULT_COMPRESSION, 0, -MAX_WBITS, DEF_MEM_LEVEL,
                                    Z_DEFAULT_STRATEGY, nullptr, 0, kMadeOnUnix, kUtf8NamesFlag,
                                    zip64) != ZIP_OK)
            return false;
        bool ok = true;
        std::vector<char> buffer(1 << 20);
        while (ok) {
            const std::size_t got = read(buffer.data(), buffer.size());
            if (got == 0) break;
            ok = zipWriteInFileInZip(zip_, buffer.data(), static_cast<unsigned>(got)) == ZIP_OK;
        }
        return zipCloseFileInZip(zip_) == ZIP_OK && ok;
    }

    bool close() {
        const int result = zipClose(zip_, nullptr);
        zip_ = nullptr;
        return result == ZIP_OK;
    }

  private:
    zipFile zip_;
};

bool addFile(ZipWriter& zip, const fs::path& file, const std::string& name) {
    struct stat info {};
    if (::stat(file.c_str(), &info) != 0) return false;
    std::ifstream in(file, std::ios::binary);
    if (!in) return false;
    return zip.add(name, info.st_mode, info.st_mtime, static_cast<std::uint64_t>(info.st_size),
                   [&in](char* buffer, std::size_t size) {
                       in.read(buffer, static_cast<std::streamsize>(size));
                       return static_cast<std::size_t>(in.gcount());
                   });
}

bool addScript(ZipWriter& zip, const fs::path& script) {
    std::ifstream in(script, std::ios::binary);
    if (!in) return false;
    std::string text(std::istreambuf_iterator<char>(in), {});
    gd::ScriptCipher::encrypt(text.data(), text.size());
    std::size_t offset = 0;
    return zip.add("update.dat", 0644, std::time(nullptr), text.size(),
                   [&](char* buffer, std::size_t size) {
                       const std::size_t count = std::min(size, text.size() - offset);
                       std::copy_n(text.data() + offset, count, buffer);
                       offset += count;
                       return count;
                   });
}

// Every regular file under `dir`, in a stable order.
std::vector<fs::path> filesUnder(const fs::path& dir) {
    std::vector<fs::path> files;
    for (const auto& entry : fs::recursive_directory_iterator(dir))
        if (entry.is_regular_file()) files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    return files;
}

}  // namespace

int packCommand(const Arguments& args) {
    if (args.size() != 3) return fail("pack needs OUT.zip, SCRIPT and DIR");
    const fs::path script = args[1], dir = args[2];
    std::error_code error;
    if (!fs::is_regular_file(script, error)) return fail("cannot read " + args[1]);
    if (!fs::is_directory(dir, error)) return fail("not a directory: " + args[2]);

    ZipWriter zip(args[0]);
    if (!zip) return fail("cannot write " + args[0]);
    if (!addScript(zip, script)) return fail("cannot read " + args[1]);
    for (const fs::path& file : filesUnder(dir)) {
        const std::string name = file.lexically_relative(dir).generic_string();
        if (!addFile(zip, file, name)) return fail("cannot read " + file.string());
    }
    if (!zip.close()) return fail("cannot write " + args[0]);
    return kExitOk;
}

}  // namespace gdtool
