#include "publish/publisher_data.h"

#include "publish/key_files.h"

#include "trust/content_hash.h"
#include "util/fd_io.h"
#include "util/replace_file.h"
#include "util/user_dirs.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace gd::publish {

namespace {

namespace fs = std::filesystem;

constexpr std::string_view kKeyPrefix = "key ";
constexpr std::string_view kFilePrefix = "file ";
constexpr std::string_view kFolderPrefix = "folder ";

std::string hexOf(const gd::ContentHash& hash, std::size_t bytes) {
    constexpr char kHex[] = "0123456789abcdef";
    std::string text;
    for (std::size_t i = 0; i < bytes && i < hash.size(); ++i) {
        text += kHex[hash[i] >> 4];
        text += kHex[hash[i] & 0x0F];
    }
    return text;
}

bool makePrivateFolder(const fs::path& folder, std::string& error) {
    std::error_code failure;
    fs::create_directories(folder.parent_path(), failure);
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
        error = "cannot make " + folder.string();
        return false;
    }
    struct stat info {};
    if (::lstat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode) ||
        info.st_uid != ::geteuid()) {
        error = folder.string() + " is not a folder of this user's";
        return false;
    }
    return true;
}

std::optional<PublishedRecord> readRecord(const fs::path& path, const fs::path& live,
                                          std::string& error) {
    const auto text = readServerFile(path);
    if (!text) return std::nullopt;
    auto record = parsePublishedRecord(*text);
    if (!record)
        error =
            path.string() + " cannot be read as a record of what was published in " + live.string();
    return record;
}

bool writeRecordFile(const fs::path& path, const PublishedRecord& record, const fs::path& live,
                     std::string& error) {
    gd::FileReplacement file(path, 0600);
    const std::string text = publishedRecordText(record, live);
    if (!file || !gd::writeAll(file.fd(), text.data(), text.size()) || !file.commit()) {
        error = "cannot write " + path.string();
        return false;
    }
    return true;
}

}  // namespace

std::optional<PublisherData> PublisherData::open(const fs::path& live, std::string& error) {
    const auto dataHome = gd::xdgBaseDir("XDG_DATA_HOME", ".local/share");
    const auto hash = gd::hashContent(live.string());
    if (!dataHome || !hash) {
        error = "no data folder for the publisher's record (set HOME or XDG_DATA_HOME)";
        return std::nullopt;
    }
    // Beside the packaged launcher's own folder (groovedeck), never inside it.
    const fs::path folder =
        *dataHome / "groovedeck-publisher" / (live.filename().string() + "-" + hexOf(*hash, 8));
    if (!makePrivateFolder(folder, error)) return std::nullopt;
    return PublisherData(live, folder);
}

std::optional<PublishedRecord> PublisherData::record(std::string& error) const {
    return readRecord(recordFile(), live_, error);
}

std::optional<PublishedRecord> PublisherData::pending(std::string& error) const {
    return readRecord(pendingFile(), live_, error);
}

bool PublisherData::writePending(const PublishedRecord& record, std::string& error) const {
    return writeRecordFile(pendingFile(), record, live_, error);
}

bool PublisherData::settle(std::string& error) const {
    if (::rename(pendingFile().c_str(), recordFile().c_str()) == 0) return true;
    error = "cannot write " + recordFile().string();
    return false;
}

bool PublisherData::writeRecord(const PublishedRecord& record, std::string& error) const {
    std::error_code ignored;
    fs::remove(pendingFile(), ignored);
    return writeRecordFile(recordFile(), record, live_, error);
}

std::string publishedRecordText(const PublishedRecord& record, const fs::path& live) {
    std::string text =
        "# What gdtool published in the update directory of " + live.string() +
        ".\n# The next release, rollout, revert or resign refuses a directory that differs.\n";
    for (const gd::PublicKey& key : record.keys)
        text += std::string(kKeyPrefix) + gd::encodePublicKey(key) + "\n";
    for (const std::string& folder : record.folders)
        text += std::string(kFolderPrefix) + folder + "\n";
    for (const auto& [name, digest] : record.files)
        text += std::string(kFilePrefix) + gd::digestText(digest) + " " + name + "\n";
    return text;
}

std::optional<PublishedRecord> parsePublishedRecord(std::string_view text) {
    PublishedRecord record;
    while (!text.empty()) {
        const auto end = text.find('\n');
        const std::string_view line = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        if (line.empty() || line.starts_with('#')) continue;
        if (line.starts_with(kKeyPrefix)) {
            const auto key = gd::parsePublicKey(line.substr(kKeyPrefix.size()));
            if (!key) return std::nullopt;
            record.keys.push_back(*key);
            continue;
        }
        if (line.starts_with(kFolderPrefix)) {
            record.folders.emplace_back(line.substr(kFolderPrefix.size()));
            continue;
        }
        if (!line.starts_with(kFilePrefix)) return std::nullopt;
        const std::string_view rest = line.substr(kFilePrefix.size());
        const auto blank = rest.find(' ');
        const auto digest = gd::parseDigest(rest.substr(0, blank));
        if (!digest || blank == std::string_view::npos || blank + 1 == rest.size())
            return std::nullopt;
        record.files[std::string(rest.substr(blank + 1))] = *digest;
    }
    return record;
}

std::vector<std::string> recordDifferences(const PublishedRecord& record, const fs::path& dir) {
    std::vector<std::string> lines;
    for (const auto& [name, digest] : record.files) {
        std::error_code error;
        if (!fs::is_regular_file(fs::symlink_status(dir / name, error))) {
            lines.push_back(name + " is missing");
        } else if (gd::digestFile(dir / name) != digest) {
            lines.push_back(name + " changed");
        }
    }
    return lines;
}

std::map<std::string, gd::ContentDigest> digestsOf(const fs::path& dir,
                                                   const std::vector<std::string>& names) {
    std::map<std::string, gd::ContentDigest> digests;
    for (const std::string& name : names) {
        std::error_code error;
        if (!fs::is_regular_file(fs::symlink_status(dir / name, error))) continue;
        if (const auto digest = gd::digestFile(dir / name)) digests[name] = *digest;
    }
    return digests;
}

}  // namespace gd::publish
