#include "shell/news_picture.h"

#include "util/fd_io.h"
#include "util/user_dirs.h"

#include <QBuffer>
#include <QByteArray>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>

namespace gd {

namespace {

// Far more than a picture of the news area takes as PNG.
constexpr off_t kPictureFileLimit = 8 * 1024 * 1024;

// "news-<FNV-1a of the address>.png": a name that tells addresses apart and
// never reaches the download cache's names, which start with a server's key.
std::string pictureName(std::string_view newsAddress) {
    std::uint64_t hash = 14695981039346656037ull;
    for (const char c : newsAddress) {
        hash ^= static_cast<unsigned char>(c);
        hash *= 1099511628211ull;
    }
    char name[40];
    std::snprintf(name, sizeof name, "news-%016llx.png", static_cast<unsigned long long>(hash));
    return name;
}

}  // namespace

QPixmap loadNewsPicture(std::string_view newsAddress) {
    const auto folder = openUserCacheFolder();
    if (!folder) return {};
    const UniqueFd file(::openat(folder->get(), pictureName(newsAddress).c_str(),
                                 O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    struct stat info {};
    if (!file || ::fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode) ||
        info.st_size > kPictureFileLimit)
        return {};
    QByteArray bytes(static_cast<qsizetype>(info.st_size), '\0');
    if (!readAllAt(file.get(), bytes.data(), static_cast<std::size_t>(bytes.size()), 0)) return {};
    QPixmap picture;
    picture.loadFromData(bytes, "PNG");
    return picture;
}

void keepNewsPicture(std::string_view newsAddress, const QPixmap& picture) {
    const auto folder = openUserCacheFolder();
    if (!folder || picture.isNull()) return;
    QByteArray bytes;
    QBuffer buffer(&bytes);
    if (!buffer.open(QIODevice::WriteOnly) || !picture.save(&buffer, "PNG")) return;
    const std::string name = pictureName(newsAddress);
    const std::string fresh = name + ".new";
    ::unlinkat(folder->get(), fresh.c_str(), 0);
    UniqueFd file(::openat(folder->get(), fresh.c_str(),
                           O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!file) return;
    const bool written =
        writeAll(file.get(), bytes.constData(), static_cast<std::size_t>(bytes.size())) &&
        file.close();
    if (!written || ::renameat(folder->get(), fresh.c_str(), folder->get(), name.c_str()) != 0)
        ::unlinkat(folder->get(), fresh.c_str(), 0);
}

void forgetNewsPicture(std::string_view newsAddress) {
    if (const auto folder = openUserCacheFolder())
        ::unlinkat(folder->get(), pictureName(newsAddress).c_str(), 0);
}

}  // namespace gd
