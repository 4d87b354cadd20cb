#include "robustness/durability_trace.h"

#include <cstdint>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <regex>
#include <set>
#include <string_view>

namespace gdtest {
namespace {

namespace fs = std::filesystem;

// One finished system call of the trace.
struct Call {
    std::size_t line = 0;
    std::string pid;
    std::string name;
    std::vector<std::string> args;
    std::string result;
};

// Splits "a, {b, c}, "d,e"" at the commas between arguments.
std::vector<std::string> splitArguments(std::string_view text) {
    std::vector<std::string> args;
    std::string current;
    int depth = 0;
    bool quoted = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (quoted) {
            if (c == '\\' && i + 1 < text.size()) current += text[i++];
            if (c == '"') quoted = false;
        } else if (c == '"') {
            quoted = true;
        } else if (c == '(' || c == '[' || c == '{' || c == '<') {
            ++depth;
        } else if (c == ')' || c == ']' || c == '}' || c == '>') {
            --depth;
        } else if (c == ',' && depth == 0) {
            args.push_back(current);
            current.clear();
            if (i + 1 < text.size() && text[i + 1] == ' ') ++i;
            continue;
        }
        current += c;
    }
    if (!current.empty()) args.push_back(current);
    return args;
}

std::optional<Call> parseCall(std::size_t line, const std::string& pid, const std::string& text) {
    const std::size_t open = text.find('(');
    const std::size_t close = text.rfind(") = ");
    if (open == std::string::npos || close == std::string::npos || close < open) return {};
    return Call{line, pid, text.substr(0, open),
                splitArguments(text.substr(open + 1, close - open - 1)), text.substr(close + 4)};
}

// The calls of an `strace -f` trace, each put together again where another
// thread's call cut it in two (<unfinished ...> and <... resumed>).
std::vector<Call> readCalls(const fs::path& traceFile) {
    static const std::regex shape(R"(^(\d+) +(.*)$)");
    std::ifstream in(traceFile);
    std::vector<Call> calls;
    std::map<std::string, std::string> unfinished;
    std::string line;
    for (std::size_t number = 1; std::getline(in, line); ++number) {
        std::smatch match;
        if (!std::regex_match(line, match, shape)) continue;
        const std::string pid = match[1];
        std::string text = match[2];
        if (const auto cut = text.find(" <unfinished ...>"); cut != std::string::npos) {
            unfinished[pid] = text.substr(0, cut);
            continue;
        }
        if (text.starts_with("<... ")) {
            const auto resumed = text.find(" resumed>");
            if (resumed == std::string::npos || !unfinished.contains(pid)) continue;
            text = unfinished[pid] + text.substr(resumed + 9);
            unfinished.erase(pid);
        }
        if (auto call = parseCall(number, pid, text)) calls.push_back(std::move(*call));
    }
    return calls;
}

// strace's quoting of a string argument undone, as far as paths need it.
std::string unquoted(std::string_view arg) {
    if (arg.size() < 2 || arg.front() != '"') return std::string(arg);
    std::string text;
    for (std::size_t i = 1; i + 1 < arg.size(); ++i) {
        if (arg[i] != '\\' || i + 2 >= arg.size()) {
            text += arg[i];
            continue;
        }
        const char next = arg[++i];
        if (next == 'x') {
            text += static_cast<char>(std::stoi(std::string(arg.substr(i + 1, 2)), nullptr, 16));
            i += 2;
        } else {
            text += next == 'n' ? '\n' : next == 't' ? '\t' : next;
        }
    }
    return text;
}

// "5</dir/file>", "AT_FDCWD</dir>" or "7</dir/#123>(deleted)": the descriptor
// and its path.
std::optional<std::pair<std::string, std::string>> decorated(const std::string& arg) {
    static const std::regex shape(R"(^(AT_FDCWD|-?\d+)<(.*)>(\(deleted\))?$)");
    std::smatch match;
    if (!std::regex_match(arg, match, shape)) return std::nullopt;
    return std::pair{match[1].str(), match[2].str()};
}

bool isBelow(const std::string& path, const std::string& folder) {
    return folder == "/" || path == folder || path.starts_with(folder + "/");
}

std::string folderOf(const std::string& path) {
    return fs::path(path).parent_path().string();
}

// What the disk would hold after a power cut at any point of the trace.
class DiskModel {
  public:
    DiskModel(const std::vector<fs::path>& published, const fs::path& fileSystem)
        : fileSystem_(fileSystem.string()) {
        for (const fs::path& folder : published) published_.push_back(folder.string());
    }

    void replay(const Call& call);
    DurabilityReport finish();

  private:
    struct FileState {
        bool durable = true;  // what was there before the trace was
    };
    using File = std::shared_ptr<FileState>;

    bool isPublished(const std::string& path) const;
    File fileAt(const std::string& path);
    std::string pathOf(const Call& call, std::size_t index);
    std::string resolved(const Call& call, std::size_t dirIndex, std::size_t pathIndex);
    std::string cwdOf(const Call& call) const;
    void onOpen(const Call& call);
    void onWrite(const Call& call, std::size_t index);
    void onFsync(const Call& call);
    void onSyncfs(const std::string& below);
    void onLink(const Call& call, bool dirs);
    void onRename(const Call& call, bool dirs);
    void onMkdir(const Call& call, bool dirs);
    void onUnlink(const Call& call, bool dirs);
    void moveTree(const std::string& from, const std::string& to);
    void onNewName(const Call& call, const std::string& path, const std::string& from,
                   bool placement);
    void checkAllDurable(const Call& call, const std::string& below, const std::string& naming,
                         const std::string& why);
    void problem(const Call& call, const std::string& text);

    std::vector<std::string> published_;
    std::string fileSystem_;
    std::map<std::string, File> files_;
    std::set<std::string> unsyncedNames_;  // names a crash could take away again
    std::map<std::string, std::map<std::string, std::string>> descriptors_;  // pid, fd: path
    std::map<std::string, std::string> cwd_;
    std::string lastCwd_;
    DurabilityReport report_;
};

bool DiskModel::isPublished(const std::string& path) const {
    for (const std::string& folder : published_)
        if (isBelow(path, folder)) return true;
    return false;
}

DiskModel::File DiskModel::fileAt(const std::string& path) {
    File& file = files_[path];
    if (!file) file = std::make_shared<FileState>();
    return file;
}

// The path of the descriptor argument `index`; empty for pipes, sockets and
// whatever lies outside the file system under test.
std::string DiskModel::pathOf(const Call& call, std::size_t index) {
    if (index >= call.args.size()) return {};
    const auto fd = decorated(call.args[index]);
    return fd && isBelow(fd->second, fileSystem_) ? fd->second : std::string();
}

std::string DiskModel::cwdOf(const Call& call) const {
    const auto found = cwd_.find(call.pid);
    // A thread that has not shown its working folder yet: the one shown last.
    return found != cwd_.end() ? found->second : lastCwd_;
}

// The path argument `pathIndex` of a call, made absolute against its folder
// argument `dirIndex` (none: the working folder).
std::string DiskModel::resolved(const Call& call, std::size_t dirIndex, std::size_t pathIndex) {
    const std::string path = unquoted(call.args.at(pathIndex));
    if (path.starts_with("/proc/self/fd/")) {
        const auto& mine = descriptors_[call.pid];
        const auto found = mine.find(path.substr(14));
        return found != mine.end() ? found->second : std::string();
    }
    if (path.starts_with("/")) return fs::path(path).lexically_normal().string();
    std::string base = cwdOf(call);
    if (dirIndex != SIZE_MAX)
        if (const auto dir = decorated(call.args.at(dirIndex))) base = dir->second;
    return (fs::path(base) / path).lexically_normal().string();
}

void DiskModel::onOpen(const Call& call) {
    const auto fd = decorated(call.result);
    if (!fd || !isBelow(fd->second, fileSystem_)) return;
    const std::string flags = call.name == "creat"  ? "O_CREAT|O_TRUNC"
                              : call.name == "open" ? call.args.at(1)
                                                    : call.args.at(2);
    const bool creates = flags.find("O_CREAT") != std::string::npos;
    const bool tmpfile = flags.find("O_TMPFILE") != std::string::npos;
    if (!creates && !tmpfile && flags.find("O_TRUNC") == std::string::npos) return;
    // A new or emptied file: its size and its inode are news to the disk.
    files_[fd->second] = std::make_shared<FileState>(FileState{false});
    if (creates && !tmpfile) unsyncedNames_.insert(fd->second);
}

void DiskModel::onWrite(const Call& call, std::size_t index) {
    const std::string path = pathOf(call, index);
    if (!path.empty()) fileAt(path)->durable = false;
}

void DiskModel::onFsync(const Call& call) {
    const std::string path = pathOf(call, 0);
    if (path.empty()) return;
    fileAt(path)->durable = true;
    std::erase_if(unsyncedNames_, [&](const std::string& name) { return folderOf(name) == path; });
}

void DiskModel::onSyncfs(const std::string& below) {
    for (auto& [path, file] : files_)
        if (isBelow(path, below)) file->durable = true;
    std::erase_if(unsyncedNames_, [&](const std::string& name) { return isBelow(name, below); });
}

void DiskModel::onLink(const Call& call, bool dirs) {
    const std::string from = dirs ? resolved(call, 0, 1) : resolved(call, SIZE_MAX, 0);
    const std::string to = dirs ? resolved(call, 2, 3) : resolved(call, SIZE_MAX, 1);
    if (from.empty() || !isBelow(to, fileSystem_)) return;
    files_[to] = fileAt(from);
    onNewName(call, to, from, false);
}

void DiskModel::onRename(const Call& call, bool dirs) {
    const std::string from = dirs ? resolved(call, 0, 1) : resolved(call, SIZE_MAX, 0);
    const std::string to = dirs ? resolved(call, 2, 3) : resolved(call, SIZE_MAX, 1);
    if (!isBelow(to, fileSystem_)) return;
    moveTree(from, to);
    onNewName(call, to, from, true);
}

void DiskModel::onMkdir(const Call& call, bool dirs) {
    const std::string path = dirs ? resolved(call, 0, 1) : resolved(call, SIZE_MAX, 0);
    if (isBelow(path, fileSystem_)) unsyncedNames_.insert(path);
}

void DiskModel::onUnlink(const Call& call, bool dirs) {
    const std::string path = dirs ? resolved(call, 0, 1) : resolved(call, SIZE_MAX, 0);
    std::erase_if(files_, [&](const auto& file) { return isBelow(file.first, path); });
    std::erase_if(unsyncedNames_, [&](const std::string& name) { return isBelow(name, path); });
}

// A rename of a folder takes everything below it along.
void DiskModel::moveTree(const std::string& from, const std::string& to) {
    std::map<std::string, File> moved;
    for (auto it = files_.begin(); it != files_.end();) {
        if (!isBelow(it->first, from)) {
            ++it;
            continue;
        }
        moved[to + it->first.substr(from.size())] = it->second;
        it = files_.erase(it);
    }
    for (auto& [path, file] : moved) files_[path] = file;
    std::set<std::string> names;
    for (const std::string& name : unsyncedNames_)
        names.insert(isBelow(name, from) ? to + name.substr(from.size()) : name);
    unsyncedNames_ = std::move(names);
}

void DiskModel::onNewName(const Call& call, const std::string& path, const std::string& from,
                          bool placement) {
    if (isPublished(path)) {
        if (placement) report_.placements.push_back({path, from});
        checkAllDurable(call, path, path, "was not durable when it was named " + path);
        if (fs::path(path).filename() == "version.dat")
            for (const std::string& folder : published_)
                checkAllDurable(call, folder, path, "was not durable when version.dat was named");
    }
    unsyncedNames_.insert(path);
}

// Everything below `below`, but the name `naming` given right now, is durable.
void DiskModel::checkAllDurable(const Call& call, const std::string& below,
                                const std::string& naming, const std::string& why) {
    for (const auto& [path, file] : files_)
        if (isBelow(path, below) && !file->durable)
            problem(call, "the data of " + path + " " + why);
    for (const std::string& name : unsyncedNames_)
        if (isBelow(name, below) && name != naming)
            problem(call, "the name " + name + " (its folder unsynced) " + why);
}

void DiskModel::problem(const Call& call, const std::string& text) {
    report_.problems.push_back("trace line " + std::to_string(call.line) + " (" + call.name +
                               "): " + text);
}

void DiskModel::replay(const Call& call) {
    for (const std::string& arg : call.args) {
        const auto fd = decorated(arg);
        if (!fd) continue;
        if (fd->first == "AT_FDCWD") {
            cwd_[call.pid] = lastCwd_ = fd->second;
        } else {
            descriptors_[call.pid][fd->first] = fd->second;
        }
    }
    if (call.result.starts_with("-1") || call.result.starts_with("?")) return;
    const std::string& name = call.name;
    if (name == "open" || name == "openat" || name == "creat") return onOpen(call);
    if (name == "write" || name == "pwrite64" || name == "writev" || name == "pwritev" ||
        name == "pwritev2" || name == "ftruncate" || name == "fallocate" || name == "sendfile")
        return onWrite(call, 0);
    if (name == "copy_file_range") return onWrite(call, 2);
    if (name == "fsync" || name == "fdatasync") return onFsync(call);
    if (name == "syncfs" && !pathOf(call, 0).empty()) return onSyncfs(fileSystem_);
    if (name == "sync") return onSyncfs("/");
    if (name == "link" || name == "linkat") return onLink(call, name == "linkat");
    if (name == "rename" || name == "renameat" || name == "renameat2")
        return onRename(call, name != "rename");
    if (name == "mkdir" || name == "mkdirat") return onMkdir(call, name == "mkdirat");
    if (name == "unlink" || name == "unlinkat") return onUnlink(call, name == "unlinkat");
}

DurabilityReport DiskModel::finish() {
    for (const std::string& name : unsyncedNames_)
        if (isPublished(name))
            report_.problems.push_back("the name " + name + " was never synced in its folder");
    return std::move(report_);
}

}  // namespace

std::string tracedCommand(const fs::path& traceFile) {
    return "strace -f -y -qq -s 0 -e signal=none -o '" + traceFile.string() +
           "' -e trace=?open,openat,?creat,write,pwrite64,writev,pwritev,pwritev2,ftruncate,"
           "fallocate,sendfile,copy_file_range,fsync,fdatasync,syncfs,sync,?link,linkat,?rename,"
           "renameat,renameat2,?mkdir,mkdirat,?unlink,unlinkat -- ";
}

DurabilityReport checkDurability(const fs::path& traceFile, const std::vector<fs::path>& published,
                                 const fs::path& fileSystem) {
    DiskModel model(published, fileSystem);
    for (const Call& call : readCalls(traceFile)) model.replay(call);
    return model.finish();
}

}  // namespace gdtest
