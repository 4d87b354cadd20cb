#include "update/delta_rebuild.h"

#include "fetch/download_sink.h"
#include "fetch/pipelined_sink.h"
#include "trust/content_hash.h"
#include "trust/crypto_library.h"
#include "update/delta_pack.h"
#include "update/lzma_reader.h"
#include "util/fd_io.h"
#include "util/safe_path.h"
#include "util/tree_walk.h"
#include "util/unique_fd.h"
#include "util/varint.h"

#define ZSTD_STATIC_LINKING_ONLY
#include <zstd.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>
#include <vector>

namespace gd {

namespace {

namespace fs = std::filesystem;

constexpr std::size_t kPiece = 64 * 1024;
// Rebuilt bytes are written and hashed in pieces of this size: a binary
// diff's runs are often a few bytes long.
constexpr std::size_t kWriteSize = 256 * 1024;

struct DctxFree {
    void operator()(ZSTD_DCtx* context) const { ZSTD_freeDCtx(context); }
};

// A failure's words, for the caller's report.
struct Failure {
    std::string why;
};

// out[i] = a[i] + b[i] for every byte, eight at a time: the low seven bits
// of each byte add without reaching the next byte, the top bits are added
// without a carry.
void sumBytes(char* out, const char* a, const char* b, std::size_t count) {
    constexpr std::uint64_t kLow = 0x7f7f7f7f7f7f7f7full;
    std::size_t i = 0;
    for (; i + 8 <= count; i += 8) {
        std::uint64_t x = 0, y = 0;
        std::memcpy(&x, a + i, 8);
        std::memcpy(&y, b + i, 8);
        const std::uint64_t sum = ((x & kLow) + (y & kLow)) ^ ((x ^ y) & ~kLow);
        std::memcpy(out + i, &sum, 8);
    }
    for (; i < count; ++i) out[i] = static_cast<char>(a[i] + b[i]);
}

// The files of one group, written one after the other as the group's bytes
// come, each checked against its digest as soon as it is complete.
class RebuiltFiles {
  public:
    RebuiltFiles(const fs::path& unpackedDir, std::vector<const DeltaFile*> files)
        : unpackedDir_(unpackedDir.string() + "/"), files_(std::move(files)) {}

    // `size` bytes of `data`, each with the byte of `base` at its place
    // added when `base` is given.
    bool write(const char* data, std::size_t size, const char* base = nullptr) {
        for (;;) {
            // Files that are empty or whose bytes come next are opened at once.
            if (!out_ && next_ < files_.size()) {
                if (!openNext()) return false;
                continue;
            }
            if (size == 0) return true;
            if (next_ == files_.size()) return fail("the delta gives more bytes than its files");
            const DeltaFile& file = *files_[next_];
            const std::size_t count =
                static_cast<std::size_t>(std::min<std::uint64_t>(size, file.size - written_));
            if (!put(data, count, base)) return false;
            written_ += count;
            data += count;
            if (base != nullptr) base += count;
            size -= count;
            if (written_ == file.size && !closeCurrent()) return false;
        }
    }
    bool complete() { return write(nullptr, 0) && next_ == files_.size(); }
    const std::string& failure() const { return failure_; }

  private:
    bool openNext() {
        const DeltaFile& file = *files_[next_];
        const auto path = joinInside(unpackedDir_, file.target);
        if (!path || *path == unpackedDir_) return fail("the delta names " + file.target);
        std::error_code error;
        fs::create_directories(fs::path(*path).parent_path(), error);
        out_.reset(::open(path->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                          static_cast<mode_t>(file.mode)));
        if (error || !out_) return fail("cannot make " + file.target);
        hasher_.emplace();
        written_ = 0;
        if (file.size == 0) return closeCurrent();
        return true;
    }
    // Keeps small pieces until they fill the buffer: a binary diff's runs
    // are often a few bytes long.
    bool put(const char* data, std::size_t count, const char* base) {
        if (base == nullptr && count >= kWriteSize) return flush() && sink(data, count);
        while (count > 0) {
            if (filled_ == kWriteSize && !flush()) return false;
            const std::size_t piece = std::min(count, kWriteSize - filled_);
            if (base != nullptr) {
                sumBytes(pending_.get() + filled_, data, base, piece);
                base += piece;
            } else {
                std::memcpy(pending_.get() + filled_, data, piece);
            }
            filled_ += piece;
            data += piece;
            count -= piece;
        }
        return true;
    }
    bool sink(const char* data, std::size_t count) {
        if (!writeAll(out_.get(), data, count))
            return fail("cannot write " + files_[next_]->target);
        hasher_->add(data, count);
        return true;
    }
    bool flush() {
        const std::size_t count = std::exchange(filled_, 0);
        return sink(pending_.get(), count);
    }
    bool closeCurrent() {
        const DeltaFile& file = *files_[next_];
        if (!flush()) return false;
        const bool closed = out_.close();
        if (!closed) return fail("cannot write " + file.target);
        if (digestOf(hasher_->finish()) != file.digest) {
            return fail(file.target + " rebuilt differs from the release's" +
                        (file.base.empty() ? std::string()
                                           : ": the installed " + file.base +
                                                 " is not the file the delta was made against"));
        }
        hasher_.reset();
        ++next_;
        return true;
    }
    bool fail(std::string why) {
        if (failure_.empty()) failure_ = std::move(why);
        return false;
    }

    std::string unpackedDir_;
    std::vector<const DeltaFile*> files_;
    std::size_t next_ = 0;
    UniqueFd out_;
    std::optional<ContentHasher> hasher_;
    std::uint64_t written_ = 0;
    std::unique_ptr<char[]> pending_ = std::make_unique_for_overwrite<char[]>(kWriteSize);
    std::size_t filled_ = 0;  // of pending_; written_ counts them already
    std::string failure_;
};

// Memory for the bases of a group, its pages made at once rather than one
// fault at a time as the bases are read into it.
class BaseMemory {
  public:
    explicit BaseMemory(std::uint64_t size) : size_(size) {
        if (size == 0) return;
        void* memory = ::mmap(nullptr, size, PROT_READ | PROT_WRITE,
                              MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
        if (memory != MAP_FAILED) data_ = static_cast<char*>(memory);
    }
    BaseMemory(const BaseMemory&) = delete;
    BaseMemory& operator=(const BaseMemory&) = delete;
    ~BaseMemory() {
        if (data_ != nullptr) ::munmap(data_, size_);
    }
    bool ok() const { return size_ == 0 || data_ != nullptr; }
    char* data() const { return data_; }

  private:
    char* data_ = nullptr;
    std::uint64_t size_;
};

// The bases of a group, one after the other.
struct Bases {
    explicit Bases(std::uint64_t total) : memory(total), size(total) {}
    BaseMemory memory;
    std::uint64_t size;
    std::uint64_t filled = 0;
    std::string_view view() const { return {memory.data(), static_cast<std::size_t>(filled)}; }
};

// The installed base of `file`, reached without following links and opened
// only once it is seen to be a plain file (a FIFO or a device would block
// or act on being opened) of the size the delta expects; an empty
// descriptor, with `failure` said, otherwise.
UniqueFd openBase(const std::string& launcherDir, const DeltaFile& file, std::string& failure) {
    const auto path = placeInside(launcherDir, file.base);
    const auto location = path ? locateInTree(*path) : std::nullopt;
    struct stat info {};
    UniqueFd in;
    if (location &&
        ::fstatat(location->directory.get(), location->name.c_str(), &info, AT_SYMLINK_NOFOLLOW) ==
            0 &&
        S_ISREG(info.st_mode))
        in.reset(::openat(location->directory.get(), location->name.c_str(),
                          O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    // Judged again on what was opened: the name may have changed meanwhile.
    if (!in || ::fstat(in.get(), &info) != 0 || !S_ISREG(info.st_mode)) {
        failure = "the installed " + file.base + " is missing or not a file";
        return {};
    }
    if (static_cast<std::uint64_t>(info.st_size) != file.baseSize) {
        failure = "the installed " + file.base + " is not the file the delta was made against";
        return {};
    }
    return in;
}

// The group's bases, one after the other, in memory made only once every
// one of them is found to be there at its declared size: the delta's word
// alone never sizes the memory. Each is opened again to be read (a group
// may hold more files than a process may keep open) and judged again then.
std::unique_ptr<Bases> readBases(const std::string& launcherDir,
                                 const std::vector<const DeltaFile*>& files, std::string& failure) {
    std::uint64_t total = 0;
    for (const DeltaFile* file : files) {
        if (file->base.empty()) continue;
        if (!openBase(launcherDir, *file, failure)) return nullptr;
        total += file->baseSize;
    }
    auto bases = std::make_unique<Bases>(total);
    if (!bases->memory.ok()) {
        failure = "no memory for the installed files";
        return nullptr;
    }
    for (const DeltaFile* file : files) {
        if (file->base.empty()) continue;
        const UniqueFd in = openBase(launcherDir, *file, failure);
        if (!in) return nullptr;
        if (!readAllAt(in.get(), bases->memory.data() + bases->filled, file->baseSize, 0)) {
            failure = "cannot read the installed " + file->base;
            return nullptr;
        }
        bases->filled += file->baseSize;
    }
    return bases;
}

// The group's zstd frame, read in pieces, into `output`. False when it is
// damaged, needs more room than `output` has, or does not end exactly where
// the group's data does.
bool decodeFrame(int pack, const DeltaGroup& group, ZSTD_DCtx* context, ZSTD_outBuffer& output,
                 char* piece) {
    std::uint64_t read = 0;
    for (std::size_t left = 1; left != 0;) {
        if (read == group.length) return false;
        const auto count =
            static_cast<std::size_t>(std::min<std::uint64_t>(group.length - read, kWriteSize));
        if (!readAllAt(pack, piece, count, group.offset + read)) return false;
        read += count;
        ZSTD_inBuffer input{piece, count, 0};
        while (input.pos < input.size && left != 0) {
            left = ZSTD_decompressStream(context, &output, &input);
            if (ZSTD_isError(left)) return false;
        }
        if (left == 0 && (input.pos < input.size || read < group.length)) return false;
    }
    return true;
}

bool rebuildPrefix(int pack, const DeltaGroup& group, std::string_view bases, std::uint64_t total,
                   RebuiltFiles& out, std::string& failure) {
    // The frame is read in pieces; the result is the window that its matches
    // reach back into, whole in memory, its pages made at once.
    const BaseMemory result(total);
    if (!result.ok()) {
        failure = "no memory for the rebuilt files";
        return false;
    }
    const auto piece = std::make_unique_for_overwrite<char[]>(kWriteSize);
    const std::unique_ptr<ZSTD_DCtx, DctxFree> context(ZSTD_createDCtx());
    if (!context ||
        ZSTD_isError(ZSTD_DCtx_setParameter(context.get(), ZSTD_d_stableOutBuffer, 1)) ||
        ZSTD_isError(
            ZSTD_DCtx_setParameter(context.get(), ZSTD_d_format, ZSTD_f_zstd1_magicless)) ||
        (!bases.empty() && ZSTD_isError(ZSTD_DCtx_refPrefix_advanced(
                               context.get(), bases.data(), bases.size(), ZSTD_dct_rawContent)))) {
        failure = "cannot use the installed files";
        return false;
    }
    ZSTD_outBuffer output{result.data(), total, 0};
    if (!decodeFrame(pack, group, context.get(), output, piece.get()) || output.pos != total) {
        failure = "the delta does not apply to the installed files";
        return false;
    }
    return out.write(result.data(), total);
}

// One control record: `copy` bytes of the bases from `from`, each with an
// added byte, then `fresh` new bytes.
struct Record {
    std::uint64_t copy = 0, fresh = 0, from = 0;
};

// The control records of a group, read one at a time from its decoded
// control stream, each checked against the output and the bases: the
// records are never held as a table, whatever their count.
class RecordCursor {
  public:
    RecordCursor(std::string_view control, std::uint64_t total, std::uint64_t bases)
        : in_(control), total_(total), bases_(bases) {}

    // The next record; nullopt once the output is made, or at one that
    // does not fit it or the bases.
    std::optional<Record> next() {
        if (made_ == total_) return std::nullopt;
        const auto copy = in_.number(), fresh = in_.number();
        const auto seek = in_.signedNumber();
        if (!seek || *copy > total_ - made_ || *fresh > total_ - made_ - *copy) return std::nullopt;
        if (*copy > bases_ || from_ > bases_ - *copy) return std::nullopt;
        const Record record{*copy, *fresh, from_};
        made_ += *copy + *fresh;
        from_ += *copy;
        // The next copy starts anywhere in the bases, or at their end.
        const auto to = static_cast<std::int64_t>(from_) + *seek;
        if (to < 0 || static_cast<std::uint64_t>(to) > bases_) return std::nullopt;
        from_ = static_cast<std::uint64_t>(to);
        return record;
    }
    bool madeAll() const { return made_ == total_; }
    bool atEnd() const { return in_.atEnd(); }

  private:
    VarintReader in_;
    std::uint64_t total_, bases_;
    std::uint64_t made_ = 0, from_ = 0;
};

// The decoded control stream of a group, once its records are found to
// make the output exactly: no more of them than the output has bytes (and
// one to end on), so that records that make nothing cannot run on.
std::optional<std::string> readControl(int pack, const DeltaGroup& group, std::uint64_t total,
                                       std::uint64_t bases) {
    std::string control(static_cast<std::size_t>(group.control.size), '\0');
    LzmaReader reader(pack, group.offset, group.control.packed, group.control.size,
                      group.control.dictionary);
    if (!reader.read(control.data(), control.size()) || !reader.finished()) return std::nullopt;
    RecordCursor records(control, total, bases);
    for (std::uint64_t count = 0; !records.madeAll(); ++count) {
        if (count > total || !records.next()) return std::nullopt;
    }
    if (!records.atEnd()) return std::nullopt;
    return control;
}

// Takes a group's bytes in output order as they come out of its two LZMA
// streams, the copies without their base bytes yet; adds those, and writes
// the files. It runs on a thread of its own, beside the decoding.
class DiffOutput final : public DownloadSink {
  public:
    DiffOutput(RecordCursor records, std::string_view bases, RebuiltFiles& out)
        : records_(records), bases_(bases), out_(out) {}

    bool accept(std::span<const char> bytes) override {
        while (!bytes.empty()) {
            while (offset_ == record_.copy + record_.fresh) {
                const auto next = records_.next();
                if (!next) return false;
                record_ = *next;
                offset_ = 0;
            }
            std::size_t count = 0;
            if (offset_ < record_.copy) {
                count = static_cast<std::size_t>(
                    std::min<std::uint64_t>({bytes.size(), record_.copy - offset_, kPiece}));
                if (!out_.write(bytes.data(), count, bases_.data() + record_.from + offset_))
                    return false;
            } else {
                count = static_cast<std::size_t>(
                    std::min<std::uint64_t>(bytes.size(), record_.copy + record_.fresh - offset_));
                if (!out_.write(bytes.data(), count)) return false;
            }
            offset_ += count;
            received_ += count;
            bytes = bytes.subspan(count);
        }
        return true;
    }
    std::uint64_t received() const override { return received_; }

  private:
    RecordCursor records_;
    std::string_view bases_;
    RebuiltFiles& out_;
    Record record_;             // the current one; none yet: empty
    std::uint64_t offset_ = 0;  // in the current record
    std::uint64_t received_ = 0;
};

// `count` bytes of `stream` into `sink`.
bool pump(LzmaReader& stream, std::uint64_t count, DownloadSink& sink, char* buffer) {
    while (count > 0) {
        const auto piece = static_cast<std::size_t>(std::min<std::uint64_t>(count, kPiece));
        if (!stream.read(buffer, piece) || !sink.accept({buffer, piece})) return false;
        count -= piece;
    }
    return true;
}

// Copy-and-add from the bases and new bytes, as the control records say:
// this thread decodes, another adds and writes.
bool applyDiff(int pack, const DeltaGroup& group, std::string_view bases, std::uint64_t total,
               RebuiltFiles& out) {
    const auto control = readControl(pack, group, total, bases.size());
    if (!control) return false;
    LzmaReader added(pack, group.offset + group.control.packed, group.added.packed,
                     group.added.size, group.added.dictionary);
    LzmaReader fresh(pack, group.offset + group.control.packed + group.added.packed,
                     group.fresh.packed, group.fresh.size, group.fresh.dictionary);
    auto output =
        std::make_unique<DiffOutput>(RecordCursor(*control, total, bases.size()), bases, out);
    PipelinedSink pipeline(*output);
    const auto buffer = std::make_unique_for_overwrite<char[]>(kPiece);
    bool pumped = true;
    RecordCursor records(*control, total, bases.size());
    while (const auto record = records.next()) {
        pumped = pump(added, record->copy, pipeline, buffer.get()) &&
                 pump(fresh, record->fresh, pipeline, buffer.get());
        if (!pumped) break;
    }
    return pipeline.finish() && pumped && added.finished() && fresh.finished();
}

bool rebuildGroup(int pack, const DeltaPack& deltas, std::uint32_t index,
                  const fs::path& unpackedDir, const std::string& launcherDir,
                  std::string& failure) {
    std::vector<const DeltaFile*> files;
    std::uint64_t total = 0;
    for (const DeltaFile& file : deltas.files) {
        if (file.group != index) continue;
        files.push_back(&file);
        total += file.size;
    }
    const auto bases = readBases(launcherDir, files, failure);
    if (!bases) return false;
    RebuiltFiles out(unpackedDir, files);
    const DeltaGroup& group = deltas.groups[index];
    bool applied = false;
    if (group.method == DeltaMethod::Prefix) {
        applied = rebuildPrefix(pack, group, bases->view(), total, out, failure);
    } else {
        applied = applyDiff(pack, group, bases->view(), total, out);
        if (!applied && failure.empty() && out.failure().empty())
            failure = "the delta does not apply to the installed files";
    }
    applied = applied && out.complete();
    if (!applied && failure.empty()) failure = out.failure();
    return applied;
}

}  // namespace

Rebuilt rebuildFromDeltas(const fs::path& packPath, const fs::path& unpackedDir,
                          const std::string& launcherDir, std::uint64_t limit) {
    Rebuilt rebuilt;
    const UniqueFd pack(::open(packPath.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    struct stat info {};
    const auto deltas = pack && ::fstat(pack.get(), &info) == 0
                            ? readDeltaPack(pack.get(), static_cast<std::uint64_t>(info.st_size))
                            : std::nullopt;
    if (!deltas || !cryptoReady()) {
        rebuilt.failure = std::string(kDeltaPackEntry) + " cannot be read";
        return rebuilt;
    }
    for (const DeltaFile& file : deltas->files) {
        if (file.size > limit - rebuilt.bytes) {
            rebuilt.failure = "the rebuilt files would not fit in the space for the update";
            return rebuilt;
        }
        rebuilt.bytes += file.size;
    }
    for (std::uint32_t group = 0; group < deltas->groups.size(); ++group) {
        if (!rebuildGroup(pack.get(), *deltas, group, unpackedDir, launcherDir, rebuilt.failure))
            return rebuilt;
    }
    std::error_code error;
    fs::remove(packPath, error);
    rebuilt.done = true;
    return rebuilt;
}

}  // namespace gd
