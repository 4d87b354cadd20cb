#include "update/delta_rebuild.h"

#include "fetch/download_sink.h"
#include "fetch/pipelined_sink.h"
#include "trust/content_hash.h"
#include "trust/crypto_library.h"
#include "update/delta_pack.h"
#include "update/lzma_reader.h"
#include "update/zstd_reader.h"
#include "util/early_flush.h"
#include "util/fd_io.h"
#include "util/mapped_file.h"
#include "util/populated_memory.h"
#include "util/safe_path.h"
#include "util/tree_walk.h"
#include "util/unique_fd.h"
#include "util/varint.h"

#define ZSTD_STATIC_LINKING_ONLY
#include <zstd.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace gd {

namespace {

namespace fs = std::filesystem;

// Rebuilt bytes are written and hashed in pieces of this size, however a
// file's end cuts what comes.
constexpr std::size_t kWriteSize = 256 * 1024;

// Work on less than this is done on the thread that needs it: a thread of
// its own and the fresh memory it works in cost more than running beside
// the rest gains (where measured, a 700 KB rebuild took 30 % less time on
// one thread than spread over ten).
constexpr std::uint64_t kInlineLimit = 1024 * 1024;

PipelinedSink::Where writerFor(std::uint64_t total) {
    return total <= kInlineLimit ? PipelinedSink::Where::OnThisThread
                                 : PipelinedSink::Where::OwnThread;
}

struct DctxFree {
    void operator()(ZSTD_DCtx* context) const { ZSTD_freeDCtx(context); }
};

// A failure's words, for the caller's report.
struct Failure {
    std::string why;
};

// out[i] = a[i] + b[i] for every byte, sixteen at a time where the
// compiler has vectors; the low seven bits of each byte of a word add
// without reaching the next byte, the top bits are added without a carry.
void sumBytes(char* out, const char* a, const char* b, std::size_t count) {
    std::size_t i = 0;
#if defined(__GNUC__)
    using Bytes16 = unsigned char __attribute__((vector_size(16)));
    for (; i + 16 <= count; i += 16) {
        Bytes16 x, y;
        std::memcpy(&x, a + i, 16);
        std::memcpy(&y, b + i, 16);
        const Bytes16 sum = x + y;
        std::memcpy(out + i, &sum, 16);
    }
#endif
    constexpr std::uint64_t kLow = 0x7f7f7f7f7f7f7f7full;
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
    // Once `stop` is requested, every write fails.
    RebuiltFiles(const fs::path& unpackedDir, std::vector<const DeltaFile*> files,
                 std::stop_token stop)
        : unpackedDir_(unpackedDir.string() + "/"),
          files_(std::move(files)),
          stop_(std::move(stop)) {}

    // The next `size` bytes of the files.
    bool write(const char* data, std::size_t size) {
        if (stop_.stop_requested()) return fail("stopped");
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
            if (!put(data, count)) return false;
            written_ += count;
            data += count;
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
        inFile_ = 0;
        if (file.size == 0) return closeCurrent();
        return true;
    }
    // Keeps small pieces until they fill the buffer: a file's end may cut
    // a piece short. A piece that ends its file with nothing kept before it
    // goes as it is: gathering it would only copy it into fresh memory.
    bool put(const char* data, std::size_t count) {
        const bool endsFile = written_ + count == files_[next_]->size;
        if (count >= kWriteSize || (endsFile && filled_ == 0)) return flush() && sink(data, count);
        if (!pending_) pending_ = populatedBuffer(kWriteSize);
        while (count > 0) {
            if (filled_ == kWriteSize && !flush()) return false;
            const std::size_t piece = std::min(count, kWriteSize - filled_);
            std::memcpy(pending_.get() + filled_, data, piece);
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
        inFile_ += count;
        earlyFlush_.writing(out_.get(), inFile_);
        return true;
    }
    bool flush() {
        const std::size_t count = std::exchange(filled_, 0);
        return sink(pending_.get(), count);
    }
    bool closeCurrent() {
        const DeltaFile& file = *files_[next_];
        if (!flush()) return false;
        // The rebuilt files are synced together once they are all made.
        earlyFlush_.finished(out_.get(), file.size);
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
    std::stop_token stop_;
    std::size_t next_ = 0;
    UniqueFd out_;
    std::optional<ContentHasher> hasher_;
    std::uint64_t written_ = 0;
    PopulatedBuffer pending_;   // made once a piece is small
    std::size_t filled_ = 0;    // of pending_; written_ counts them already
    std::uint64_t inFile_ = 0;  // bytes of the current file in it, without pending_'s
    std::string failure_;
    EarlyFlush earlyFlush_;
};

// Memory that a frame's matches reach all over, in huge pages where the
// system gives them: with small pages most of the matches would miss the
// address cache.
class WindowMemory {
  public:
    explicit WindowMemory(std::uint64_t size) : size_(size) {
        if (size == 0) return;
        void* memory =
            ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (memory == MAP_FAILED) return;
        data_ = static_cast<char*>(memory);
        ::madvise(memory, size, MADV_HUGEPAGE);
    }
    WindowMemory(const WindowMemory&) = delete;
    WindowMemory& operator=(const WindowMemory&) = delete;
    ~WindowMemory() {
        if (data_ != nullptr) ::munmap(data_, size_);
    }
    bool ok() const { return size_ == 0 || data_ != nullptr; }
    char* data() const { return data_; }

  private:
    char* data_ = nullptr;
    std::uint64_t size_;
};

// Memory for the bases of a group: a file in memory, sealed against
// shrinking, filled from the installed files inside the kernel and mapped
// to be read. Fresh anonymous memory is cleared page by page before the
// bases are copied into it, and where that was measured (a virtual machine)
// the clearing cost more than the rest of reading them, and more than small
// pages cost the rebuild's copies against the huge pages such memory could
// have; a mapping of the installed files themselves would kill the update
// with a bus error the moment another program shortened one, which this
// sealed copy cannot be.
//
// Bases up to kInlineLimit are read into a buffer of their own instead,
// large ones in a huge page where the system gives one: where measured,
// that cost less than filling the file and mapping its small pages, and
// nobody else can shorten such a buffer either.
class BaseMemory {
  public:
    explicit BaseMemory(std::uint64_t size)
        : small_(size <= kInlineLimit ? populatedBuffer(static_cast<std::size_t>(size))
                                      : PopulatedBuffer()),
          file_(small_ ? UniqueFd() : sealedFile(size)),
          mapped_(file_.get()) {}
    bool ok() const { return small_ || mapped_.ok(); }
    const char* data() const { return small_ ? small_.get() : mapped_.bytes().data(); }
    // The bytes copied in so far.
    std::uint64_t filled() const { return filled_; }
    // Copies `count` bytes of `from`, starting at `offset`, after those
    // copied in so far, and maps them in; false when `from` gave fewer.
    bool fill(int from, std::uint64_t offset, std::uint64_t count) {
        if (small_) {
            if (!readAllAt(from, small_.get() + filled_, static_cast<std::size_t>(count), offset))
                return false;
            filled_ += count;
            return true;
        }
        const std::uint64_t start = filled_;
        auto at = static_cast<off_t>(offset);
        while (count > 0) {
            const ssize_t sent = ::sendfile(file_.get(), from, &at, count);
            if (sent < 0 && errno == EINTR) continue;
            if (sent <= 0) return false;
            count -= static_cast<std::uint64_t>(sent);
            filled_ += static_cast<std::uint64_t>(sent);
        }
        // Mapped here rather than page by page as the rebuild first reads
        // them; a system without the call leaves that to the rebuild.
        const auto page = static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE));
        const std::uint64_t firstPage = start / page * page;
        ::madvise(const_cast<char*>(data()) + firstPage, filled_ - firstPage, MADV_POPULATE_READ);
        return true;
    }

  private:
    // An empty descriptor when the system cannot make one.
    static UniqueFd sealedFile(std::uint64_t size) {
        UniqueFd file(::memfd_create("delta-bases", MFD_CLOEXEC | MFD_ALLOW_SEALING));
        if (!file || ::ftruncate(file.get(), static_cast<off_t>(size)) != 0 ||
            ::fcntl(file.get(), F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_SEAL) != 0)
            return {};
        return file;
    }

    PopulatedBuffer small_;
    UniqueFd file_;
    MappedFile mapped_;  // of file_: fails with it
    std::uint64_t filled_ = 0;
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

// The bases of a group, one after the other, read on a thread of their own
// in pieces, each copy waiting only for the pieces it reaches (small ones
// are read at once). A large diff's first records reach all over its bases,
// though, so its rebuild waits for nearly all of them: that is why the
// largest group starts first and the others are rebuilt meanwhile.
class Bases {
  public:
    // Starts reading the bases of `files` (their sizes already judged) into
    // memory of `size` bytes.
    Bases(std::uint64_t size, const std::string& launcherDir,
          const std::vector<const DeltaFile*>& files)
        : memory_(size), size_(size) {
        if (!memory_.ok()) return;
        if (size <= kInlineLimit) {
            read({}, launcherDir, files);
        } else {
            reader_ = std::jthread([this, launcherDir, files](std::stop_token stop) {
                read(stop, launcherDir, files);
            });
        }
    }
    bool ok() const { return memory_.ok(); }
    // All of them; a copy may use only what reach() said is there.
    std::string_view view() const { return {memory_.data(), static_cast<std::size_t>(size_)}; }
    // Waits until the first `end` bytes are read; false when they never
    // will be (failure() says why).
    bool reach(std::uint64_t end) {
        while (known_ < end) {
            filled_.wait(known_, std::memory_order_acquire);
            known_ = filled_.load(std::memory_order_acquire);
            if (known_ == kFailed) return false;
        }
        return true;
    }
    // Why the reading failed; empty while it has not.
    std::string failure() const {
        return filled_.load(std::memory_order_acquire) == kFailed ? failure_ : std::string();
    }

  private:
    // Never a count of bytes read: the memory is mapped, so far smaller.
    static constexpr std::uint64_t kFailed = UINT64_MAX;
    // Read in pieces of this size, each made available as soon as it is in.
    static constexpr std::uint64_t kPiece = 4 << 20;

    // Each base is opened again to be read (a group may hold more files
    // than a process may keep open) and judged again then.
    void read(const std::stop_token& stop, const std::string& launcherDir,
              const std::vector<const DeltaFile*>& files) {
        for (const DeltaFile* file : files) {
            if (file->base.empty()) continue;
            const UniqueFd in = openBase(launcherDir, *file, failure_);
            if (!in) return fail();
            for (std::uint64_t done = 0; done < file->baseSize && !stop.stop_requested();) {
                const std::uint64_t piece = std::min(kPiece, file->baseSize - done);
                if (!memory_.fill(in.get(), done, piece)) {
                    failure_ = "cannot read the installed " + file->base;
                    return fail();
                }
                done += piece;
                filled_.store(memory_.filled(), std::memory_order_release);
                filled_.notify_one();
            }
        }
    }
    void fail() {
        filled_.store(kFailed, std::memory_order_release);
        filled_.notify_one();
    }

    BaseMemory memory_;
    std::uint64_t size_;
    std::atomic<std::uint64_t> filled_{0};
    std::uint64_t known_ = 0;  // of filled_, as the rebuild last saw it
    std::string failure_;      // the reader's, read only once it failed
    std::jthread reader_;      // last: it stops before the rest goes
};

// The group's bases, in memory made only once every one of them is found to
// be there at its declared size: the delta's word alone never sizes the
// memory.
std::unique_ptr<Bases> readBases(const std::string& launcherDir,
                                 const std::vector<const DeltaFile*>& files, std::string& failure) {
    std::uint64_t total = 0;
    for (const DeltaFile* file : files) {
        if (file->base.empty()) continue;
        if (!openBase(launcherDir, *file, failure)) return nullptr;
        total += file->baseSize;
    }
    auto bases = std::make_unique<Bases>(total, launcherDir, files);
    if (!bases->ok()) {
        failure = "no memory for the installed files";
        return nullptr;
    }
    return bases;
}

// Writes the rebuilt bytes on a thread of its own, beside the decoding.
class RebuiltOutput final : public DownloadSink {
  public:
    explicit RebuiltOutput(RebuiltFiles& out) : out_(out) {}
    bool accept(std::span<const char> bytes) override {
        received_ += bytes.size();
        return out_.write(bytes.data(), bytes.size());
    }
    std::uint64_t received() const override { return received_; }

  private:
    RebuiltFiles& out_;
    std::uint64_t received_ = 0;
};

// The group's zstd frame, read in pieces, into `output`, each piece of the
// result lent to `sink` as it is made (`output` outlives the sink's work).
// False when it is damaged, needs more room than `output` has, or does not
// end exactly where the group's data does.
bool decodeFrame(int pack, const DeltaGroup& group, ZSTD_DCtx* context, ZSTD_outBuffer& output,
                 char* piece, PipelinedSink& sink) {
    // The decoder is given about as much of the frame at a time as makes a
    // piece of kWriteSize: it decodes all that it is given in one call, and
    // a frame of a few kilobytes that makes megabytes would otherwise leave
    // its writer waiting until the last byte is made.
    const auto slice = static_cast<std::size_t>(std::clamp<std::uint64_t>(
        group.length * kWriteSize / std::max<std::uint64_t>(output.size, 1), 1, kWriteSize));
    std::uint64_t read = 0;
    for (std::size_t left = 1; left != 0;) {
        if (read == group.length) return false;
        const auto count =
            static_cast<std::size_t>(std::min<std::uint64_t>(group.length - read, kWriteSize));
        if (!readAllAt(pack, piece, count, group.offset + read)) return false;
        read += count;
        ZSTD_inBuffer input{piece, count, 0};
        while (input.pos < input.size && left != 0) {
            const std::size_t made = output.pos;
            ZSTD_inBuffer part{piece, std::min(input.size, input.pos + slice), input.pos};
            left = ZSTD_decompressStream(context, &output, &part);
            input.pos = part.pos;
            if (ZSTD_isError(left) ||
                !sink.lend({static_cast<const char*>(output.dst) + made, output.pos - made}))
                return false;
        }
        if (left == 0 && (input.pos < input.size || read < group.length)) return false;
    }
    return true;
}

bool rebuildPrefix(int pack, const DeltaGroup& group, Bases& installed, std::uint64_t total,
                   RebuiltFiles& out, std::string& failure) {
    // Its matches may reach anywhere in the bases from the start.
    if (!installed.reach(installed.view().size())) {
        failure = installed.failure();
        return false;
    }
    const std::string_view bases = installed.view();
    // The frame is read in pieces; the result is the window that its matches
    // reach back into, whole in memory, its pages made at once.
    const WindowMemory result(total);
    if (!result.ok()) {
        failure = "no memory for the rebuilt files";
        return false;
    }
    const auto piece = populatedBuffer(
        static_cast<std::size_t>(std::min<std::uint64_t>(group.length, kWriteSize)));
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
    // Hashed and written from the window on another thread as the frame is
    // decoded (a small group's on this one).
    RebuiltOutput written(out);
    PipelinedSink pipeline(written, writerFor(total));
    ZSTD_outBuffer output{result.data(), total, 0};
    const bool decoded = decodeFrame(pack, group, context.get(), output, piece.get(), pipeline);
    if (!pipeline.finish()) return false;
    if (!decoded || output.pos != total) {
        failure = "the delta does not apply to the installed files";
        return false;
    }
    return true;
}

// One control record: `copy` bytes of the bases from `from`, each with an
// added byte, then `fresh` new bytes.
struct Record {
    std::uint64_t copy = 0, fresh = 0, from = 0;
};

// A stream of a group, decoded on a thread of its own a few pieces ahead of
// its use: the rebuild runs on one core, and decoding its three streams was
// a third of its work. A small stream is decoded whole at once instead, as
// one piece. A record of a few bytes costs a copy out of the piece at hand
// rather than a call into the decoder.
template <typename Reader>
class BufferedStream {
  public:
    // `stream`, `at` bytes into the group's data.
    BufferedStream(int pack, const DeltaGroup& group, const DiffStream& stream, std::uint64_t at)
        : reader_(pack, group.offset + at, stream.packed, stream.size, stream.dictionary),
          left_(stream.size) {
        if (stream.size <= kInlineLimit) {
            decodeWhole();
            return;
        }
        for (auto& slot : slots_) slot = populatedBuffer(kRoom + kPiece);
        decoder_ = std::jthread([this](const std::stop_token& stop) { decode(stop); });
    }

    // The next `count` bytes into `out`.
    bool take(char* out, std::size_t count) {
        return takeEach(count, [&](const char* piece, std::size_t size) {
            std::memcpy(out, piece, size);
            out += size;
        });
    }
    // The next `count` bytes into `out`, each added to the byte of `base` in
    // its place: one pass instead of a copy and an addition.
    bool addTo(char* out, const char* base, std::size_t count) {
        return takeEach(count, [&](const char* piece, std::size_t size) {
            sumBytes(out, piece, base, size);
            out += size;
            base += size;
        });
    }
    // The next bytes, at least `want` (at most kRoom) of them unless the
    // stream ends sooner (or is damaged), without taking them.
    std::string_view ahead(std::size_t want) {
        if (held_ - at_ < want) nextPiece();
        return {data_ + at_, held_ - at_};
    }
    void skip(std::size_t count) { at_ += count; }
    bool finished() {
        if (at_ != held_ || nextPiece()) return false;
        const std::lock_guard lock(mutex_);
        return state_ == State::Ended;
    }

  private:
    enum class State { Decoding, Ended, Failed };
    static constexpr std::size_t kPiece = 256 * 1024;
    // Room in front of each piece for what was left of the one before.
    static constexpr std::size_t kRoom = 64;
    static constexpr std::size_t kSlots = 4;

    // Hands the next `count` bytes to `use` in the pieces that they are in.
    template <typename Use>
    bool takeEach(std::size_t count, Use use) {
        while (count > 0) {
            if (at_ == held_ && !nextPiece()) return false;
            const std::size_t piece = std::min(count, held_ - at_);
            use(data_ + at_, piece);
            at_ += piece;
            count -= piece;
        }
        return true;
    }

    // Moves on to the next piece, with what is left of this one put in
    // front of it; false at the end of the stream or when it cannot be
    // decoded.
    bool nextPiece() {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [this] { return made_ > taken_ || state_ != State::Decoding; });
        if (made_ == taken_) return false;
        const std::size_t kept = held_ - at_;  // less than kRoom
        char* const next = slots_[taken_ % kSlots].get() + kRoom - kept;
        if (kept > 0) std::memcpy(next, data_ + at_, kept);
        data_ = next;
        at_ = 0;
        held_ = kept + sizes_[taken_ % kSlots];
        ++taken_;  // frees the piece before the one now at hand
        changed_.notify_all();
        return true;
    }

    void decode(const std::stop_token& stop) {
        for (std::uint64_t piece = 0; left_ > 0; ++piece) {
            {
                // The piece at hand and those decoded ahead of it fill the slots.
                std::unique_lock lock(mutex_);
                if (!changed_.wait(lock, stop, [&] { return piece + 1 < taken_ + kSlots; })) return;
            }
            const auto size = static_cast<std::size_t>(std::min<std::uint64_t>(left_, kPiece));
            const bool read = reader_.read(slots_[piece % kSlots].get() + kRoom, size);
            const std::lock_guard lock(mutex_);
            if (!read) return end(State::Failed);
            sizes_[piece % kSlots] = size;
            left_ -= size;
            ++made_;
            changed_.notify_all();
        }
        const bool ended = reader_.finished();
        const std::lock_guard lock(mutex_);
        end(ended ? State::Ended : State::Failed);
    }
    void decodeWhole() {
        const auto size = static_cast<std::size_t>(left_);
        slots_[0] = populatedBuffer(kRoom + size);
        if (!reader_.readAll(slots_[0].get() + kRoom)) return end(State::Failed);
        sizes_[0] = size;
        left_ = 0;
        made_ = size > 0 ? 1 : 0;
        end(State::Ended);
    }
    // With the lock held, or before the decoder starts.
    void end(State state) {
        state_ = state;
        changed_.notify_all();
    }

    Reader reader_;       // the decoder's alone once it runs
    std::uint64_t left_;  // to decode
    std::array<PopulatedBuffer, kSlots> slots_;
    std::array<std::size_t, kSlots> sizes_{};
    // What the rebuild reads: data_[at_, held_) of the piece at hand.
    const char* data_ = nullptr;
    std::size_t at_ = 0, held_ = 0;
    std::mutex mutex_;
    std::condition_variable_any changed_;
    std::uint64_t made_ = 0;   // pieces decoded
    std::uint64_t taken_ = 0;  // pieces the rebuild has moved to
    State state_ = State::Decoding;
    std::jthread decoder_;  // last: it stops before the rest goes
};

// The control records of a group, read one at a time as its control stream
// is decoded, each checked against the output and the bases: the records
// are never held as a table, whatever their count, and no more of them are
// taken than the output has bytes (and one to end on), so that records that
// make nothing cannot run on.
template <typename Reader>
class RecordCursor {
  public:
    RecordCursor(BufferedStream<Reader>& control, std::uint64_t total, std::uint64_t bases)
        : control_(control), total_(total), bases_(bases) {}

    // The next record; nullopt once the output is made, and from the first
    // one that does not fit it or the bases on.
    std::optional<Record> next() {
        if (failed_ || made_ == total_) return std::nullopt;
        // A record is three numbers of at most ten bytes each.
        VarintReader in(control_.ahead(30));
        const std::size_t held = in.remaining();
        const auto copy = in.number(), fresh = in.number();
        const auto seek = in.signedNumber();
        control_.skip(held - in.remaining());
        if (count_++ > total_ || !seek || *copy > total_ - made_ ||
            *fresh > total_ - made_ - *copy || *copy > bases_ || from_ > bases_ - *copy)
            return fail();
        // The next copy starts anywhere in the bases, or at their end.
        const auto to = static_cast<std::int64_t>(from_ + *copy) + *seek;
        if (to < 0 || static_cast<std::uint64_t>(to) > bases_) return fail();
        const Record record{*copy, *fresh, from_};
        made_ += *copy + *fresh;
        from_ = static_cast<std::uint64_t>(to);
        return record;
    }
    // Whether the records made the output exactly, and the stream holds
    // nothing after them.
    bool finished() { return !failed_ && made_ == total_ && control_.finished(); }

  private:
    std::nullopt_t fail() {
        failed_ = true;
        return std::nullopt;
    }

    BufferedStream<Reader>& control_;
    std::uint64_t total_, bases_;
    std::uint64_t made_ = 0, from_ = 0, count_ = 0;
    bool failed_ = false;
};

// The records of a group a few ahead of their use, each one's bases asked
// into the processor's cache as it is read: the copies of a large diff are
// short and reach all over the bases, and would otherwise wait on memory.
template <typename Reader>
class RecordsAhead {
  public:
    RecordsAhead(BufferedStream<Reader>& control, std::uint64_t total, std::string_view bases)
        : records_(control, total, bases.size()), bases_(bases) {
        for (auto& slot : ring_) slot = fetch();
    }

    std::optional<Record> next() {
        auto record = std::exchange(ring_[at_], fetch());
        at_ = (at_ + 1) % kAhead;
        return record;
    }
    bool finished() { return records_.finished(); }

  private:
    std::optional<Record> fetch() {
        auto record = records_.next();
        if (record && record->copy > 0) __builtin_prefetch(bases_.data() + record->from);
        return record;
    }

    static constexpr std::size_t kAhead = 16;
    RecordCursor<Reader> records_;
    std::string_view bases_;
    std::array<std::optional<Record>, kAhead> ring_;
    std::size_t at_ = 0;
};

// Copy-and-add from the bases and new bytes, as the control records say:
// this thread decodes and adds, another hashes and writes (a small group's
// on this one).
template <typename Reader>
bool applyDiff(int pack, const DeltaGroup& group, Bases& installed, std::uint64_t total,
               RebuiltFiles& out) {
    const std::string_view bases = installed.view();
    BufferedStream<Reader> control(pack, group, group.control, 0);
    BufferedStream<Reader> added(pack, group, group.added, group.control.packed);
    BufferedStream<Reader> fresh(pack, group, group.fresh,
                                 group.control.packed + group.added.packed);
    RebuiltOutput output(out);
    // The bytes are made in the pipeline's own buffers.
    PipelinedSink pipeline(output, writerFor(total));
    RecordsAhead<Reader> records(control, total, bases);
    while (const auto record = records.next()) {
        if (record->copy > 0 && !installed.reach(record->from + record->copy)) return false;
        for (std::uint64_t done = 0; done < record->copy;) {
            const std::span<char> to = pipeline.room(record->copy - done);
            if (!added.addTo(to.data(), bases.data() + record->from + done, to.size()) ||
                !pipeline.commit(to.size()))
                return false;
            done += to.size();
        }
        for (std::uint64_t done = 0; done < record->fresh;) {
            const std::span<char> to = pipeline.room(record->fresh - done);
            if (!fresh.take(to.data(), to.size()) || !pipeline.commit(to.size())) return false;
            done += to.size();
        }
    }
    return records.finished() && pipeline.finish() && added.finished() && fresh.finished();
}

// The files of one group, in the pack's order, and their bases.
struct GroupWork {
    std::vector<const DeltaFile*> files;
    std::uint64_t total = 0;  // of the rebuilt files
    std::unique_ptr<Bases> bases;
};

// Starts reading the bases of group `index`; false, with `failure` said,
// when they are not all there as the delta expects.
bool startGroup(const DeltaPack& deltas, std::uint32_t index, const std::string& launcherDir,
                GroupWork& work, std::string& failure) {
    for (const DeltaFile& file : deltas.files) {
        if (file.group != index) continue;
        work.files.push_back(&file);
        work.total += file.size;
    }
    work.bases = readBases(launcherDir, work.files, failure);
    return work.bases != nullptr;
}

// Rebuilds the files of `group`, giving up once `stop` is requested.
bool rebuildGroup(int pack, const DeltaGroup& group, GroupWork& work, const fs::path& unpackedDir,
                  std::string& failure, std::stop_token stop = {}) {
    Bases& bases = *work.bases;
    RebuiltFiles out(unpackedDir, work.files, std::move(stop));
    bool applied = false;
    if (group.method == DeltaMethod::Prefix) {
        applied = rebuildPrefix(pack, group, bases, work.total, out, failure);
    } else {
        applied = group.method == DeltaMethod::ZstdDiff
                      ? applyDiff<ZstdReader>(pack, group, bases, work.total, out)
                      : applyDiff<LzmaReader>(pack, group, bases, work.total, out);
        if (!applied && failure.empty()) failure = bases.failure();
        if (!applied && failure.empty() && out.failure().empty())
            failure = "the delta does not apply to the installed files";
    }
    applied = applied && out.complete();
    if (!applied && failure.empty()) failure = out.failure();
    return applied;
}

// Rebuilds the groups but `skip` one after the other; false, with `failure`
// said, at the first that cannot be.
bool rebuildInTurn(int pack, const DeltaPack& deltas, std::optional<std::uint32_t> skip,
                   const fs::path& unpackedDir, const std::string& launcherDir,
                   std::string& failure) {
    for (std::uint32_t group = 0; group < deltas.groups.size(); ++group) {
        if (group == skip) continue;
        GroupWork work;
        if (!startGroup(deltas, group, launcherDir, work, failure) ||
            !rebuildGroup(pack, deltas.groups[group], work, unpackedDir, failure))
            return false;
    }
    return true;
}

// The group whose bases are largest: as a rule the longest to rebuild, and
// the one whose rebuild waits longest for its bases.
std::uint32_t largestBases(const DeltaPack& deltas) {
    std::vector<std::uint64_t> sizes(deltas.groups.size());
    for (const DeltaFile& file : deltas.files) sizes[file.group] += file.baseSize;
    return static_cast<std::uint32_t>(std::max_element(sizes.begin(), sizes.end()) - sizes.begin());
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
    // The group with the largest bases is rebuilt on a thread of its own
    // from the start, beside the others in turn: its rebuild is one core's
    // work for most of the update, and the other core would otherwise be
    // left to its decoding and writing. A small pack is rebuilt on this
    // thread alone.
    if (rebuilt.bytes <= kInlineLimit) {
        if (!rebuildInTurn(pack.get(), *deltas, std::nullopt, unpackedDir, launcherDir,
                           rebuilt.failure))
            return rebuilt;
    } else if (!deltas->groups.empty()) {
        const std::uint32_t largest = largestBases(*deltas);
        GroupWork largestWork;
        if (!startGroup(*deltas, largest, launcherDir, largestWork, rebuilt.failure))
            return rebuilt;
        std::string largestFailure;
        bool largestDone = false;
        bool othersDone = true;
        {
            // Stopped, when the others fail, as it goes out of scope.
            std::jthread beside([&](std::stop_token stop) {
                largestDone = rebuildGroup(pack.get(), deltas->groups[largest], largestWork,
                                           unpackedDir, largestFailure, std::move(stop));
            });
            othersDone = rebuildInTurn(pack.get(), *deltas, largest, unpackedDir, launcherDir,
                                       rebuilt.failure);
            if (othersDone) beside.join();
        }
        if (!othersDone) return rebuilt;
        if (!largestDone) {
            rebuilt.failure = std::move(largestFailure);
            return rebuilt;
        }
    }
    std::error_code error;
    fs::remove(packPath, error);
    rebuilt.done = true;
    return rebuilt;
}

}  // namespace gd
