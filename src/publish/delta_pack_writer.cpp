#include "publish/delta_pack_writer.h"

#include "publish/binary_diff.h"

#include "trust/content_digest.h"
#include "update/delta_pack.h"
#include "util/fd_io.h"
#include "util/ordered_work.h"
#include "util/unique_fd.h"

#include <fcntl.h>
#include <sys/stat.h>

#define ZSTD_STATIC_LINKING_ONLY
#include <zstd.h>

#include <algorithm>
#include <bit>
#include <memory>
#include <optional>

namespace gd::publish {

namespace {

namespace fs = std::filesystem;

// Multi-file Diff groups hold this much of new bytes at most, so that the
// publisher's memory stays bounded too.
constexpr std::uint64_t kDiffGroupNewLimit = 64ull * 1024 * 1024;
// zstd's highest level: a delta is made once and fetched by every
// installation.
constexpr int kZstdLevel = 22;
// The window of a group's added bytes up to kAddedWindowUpTo of them.
constexpr std::uint32_t kShortAddedWindow = 256 * 1024;
constexpr std::size_t kAddedWindowUpTo = 32 * 1024 * 1024;
// Groups compressed at once: both cores of a publisher's ordinary machine,
// each with one group's bytes and its compressor's tables in memory.
constexpr unsigned kEncodingThreads = 2;

std::optional<std::string> readWhole(const fs::path& path) {
    const gd::UniqueFd in(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat info {};
    if (!in || ::fstat(in.get(), &info) != 0 || !S_ISREG(info.st_mode)) return std::nullopt;
    std::string bytes(static_cast<std::size_t>(info.st_size), '\0');
    if (!gd::readAllAt(in.get(), bytes.data(), bytes.size(), 0)) return std::nullopt;
    return bytes;
}

std::uint64_t sizeOf(const fs::path& path) {
    std::error_code error;
    const auto size = fs::file_size(path, error);
    return error ? 0 : size;
}

// Machine code, where a binary diff keeps moved code cheap.
bool looksExecutable(const fs::path& path) {
    char head[4] = {};
    const gd::UniqueFd in(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!in || !gd::readAllAt(in.get(), head, sizeof head, 0)) return false;
    const std::string_view magic(head, sizeof head);
    return magic ==
               "\x7f"
               "ELF" ||
           magic.starts_with("MZ") || magic == std::string_view("\0asm", 4) ||
           magic == "\xfe\xed\xfa\xce" || magic == "\xfe\xed\xfa\xcf" ||
           magic == "\xce\xfa\xed\xfe" || magic == "\xcf\xfa\xed\xfe" ||
           magic == "\xca\xfe\xba\xbe";
}

gd::DeltaMethod methodFor(const DeltaSource& source) {
    if (source.base.empty()) return gd::DeltaMethod::Diff;
    if (sizeOf(source.baseFile) > gd::kPrefixFileLimit ||
        sizeOf(source.newFile) > gd::kPrefixFileLimit)
        return gd::DeltaMethod::Diff;
    if (looksExecutable(source.baseFile) || looksExecutable(source.newFile))
        return gd::DeltaMethod::Diff;
    return gd::DeltaMethod::Prefix;
}

struct PlannedGroup {
    gd::DeltaMethod method;
    std::vector<const DeltaSource*> sources;
    std::uint64_t bases = 0, news = 0;
    bool manyBases() const {
        return std::count_if(sources.begin(), sources.end(),
                             [](const DeltaSource* s) { return !s->base.empty(); }) > 1;
    }
};

bool fitsIn(const PlannedGroup& group, std::uint64_t base, std::uint64_t bytes) {
    if (group.method == gd::DeltaMethod::Prefix)
        return group.bases + group.news + base + bytes <= gd::kPrefixGroupLimit;
    const bool another = base > 0 || group.bases > 0;
    return (!another || group.bases + base <= gd::kDiffGroupBaseLimit) &&
           group.news + bytes <= kDiffGroupNewLimit;
}

std::vector<PlannedGroup> planGroups(const std::vector<DeltaSource>& sources) {
    std::vector<PlannedGroup> groups;
    for (const gd::DeltaMethod method : {gd::DeltaMethod::Prefix, gd::DeltaMethod::Diff}) {
        std::optional<PlannedGroup> open;
        for (const DeltaSource& source : sources) {
            if (methodFor(source) != method) continue;
            const std::uint64_t base = source.base.empty() ? 0 : sizeOf(source.baseFile);
            const std::uint64_t bytes = sizeOf(source.newFile);
            if (open && !open->sources.empty() && !fitsIn(*open, base, bytes)) {
                groups.push_back(std::move(*open));
                open.reset();
            }
            if (!open) open = PlannedGroup{method, {}, 0, 0};
            open->sources.push_back(&source);
            open->bases += base;
            open->news += bytes;
        }
        if (open) groups.push_back(std::move(*open));
    }
    return groups;
}

struct CctxFree {
    void operator()(ZSTD_CCtx* context) const { ZSTD_freeCCtx(context); }
};

// A frame of `bytes` at zstd's highest level in a window of 2^`window`,
// with `prefix` (may be empty) as its dictionary. The pack says what the
// frame is and how large its result, and the digests make its checksum
// redundant: no magic number, size or checksum in it.
std::optional<std::string> zstdCompressed(std::string_view prefix, std::string_view bytes,
                                          int window, bool longMatches) {
    const std::unique_ptr<ZSTD_CCtx, CctxFree> context(ZSTD_createCCtx());
    if (!context) return std::nullopt;
    ZSTD_CCtx* c = context.get();
    if (ZSTD_isError(ZSTD_CCtx_setParameter(c, ZSTD_c_compressionLevel, kZstdLevel)) ||
        ZSTD_isError(ZSTD_CCtx_setParameter(c, ZSTD_c_windowLog, window)) ||
        ZSTD_isError(ZSTD_CCtx_setParameter(c, ZSTD_c_enableLongDistanceMatching, longMatches)) ||
        ZSTD_isError(ZSTD_CCtx_setParameter(c, ZSTD_c_checksumFlag, 0)) ||
        ZSTD_isError(ZSTD_CCtx_setParameter(c, ZSTD_c_contentSizeFlag, 0)) ||
        ZSTD_isError(ZSTD_CCtx_setParameter(c, ZSTD_c_format, ZSTD_f_zstd1_magicless)))
        return std::nullopt;
    if (!prefix.empty() && ZSTD_isError(ZSTD_CCtx_refPrefix_advanced(
                               c, prefix.data(), prefix.size(), ZSTD_dct_rawContent)))
        return std::nullopt;
    std::string out(ZSTD_compressBound(bytes.size()), '\0');
    const std::size_t size = ZSTD_compress2(c, out.data(), out.size(), bytes.data(), bytes.size());
    if (ZSTD_isError(size)) return std::nullopt;
    out.resize(size);
    return out;
}

// One stream of a ZstdDiff group, its window no larger than an LZMA2
// stream's dictionary, nor than `windowLimit`.
std::optional<std::string> zstdPacked(std::string_view bytes, gd::DiffStream& stream,
                                      std::uint32_t windowLimit = gd::kStreamWindowLimit) {
    const int window = std::clamp<int>(std::bit_width(std::max<std::size_t>(bytes.size(), 1)), 12,
                                       std::bit_width(windowLimit) - 1);
    auto out = zstdCompressed({}, bytes, window, false);
    if (out) stream = {out->size(), bytes.size(), 1u << window};
    return out;
}

// The window of a group's added bytes. They are mostly zeros around the
// changed addresses of moved code, and a long window finds little more in
// them (under half a percent on every added stream measured up to 21 MB:
// shared libraries, a Go executable, a browser), while an installation
// decoding them writes the whole window as fresh memory: a fifth of a libssl3
// delta's apply time. Beyond kAddedWindowUpTo the long window pays for itself
// (a 256 MB executable's added bytes grew 1.2 % with a short one), and its
// memory is little beside the rest of the work.
std::uint32_t addedWindow(std::size_t size) {
    return size <= kAddedWindowUpTo ? kShortAddedWindow : gd::kStreamWindowLimit;
}

// A Prefix group's frame, as zstd --patch-from --ultra -22 --long makes it:
// a window over bases and result, and the long-distance matcher.
std::optional<std::string> zstdFrame(std::string_view bases, std::string_view news) {
    const int window = std::max<int>(
        ZSTD_WINDOWLOG_MIN, std::bit_width(std::max<std::size_t>(bases.size() + news.size(), 1)));
    return zstdCompressed(bases, news, window, true);
}

// The group's payload and its entry in the pack's list of groups.
std::optional<std::string> encodeGroup(const PlannedGroup& planned, gd::DeltaGroup& group,
                                       std::vector<gd::DeltaFile>& files, std::uint32_t index,
                                       std::string& error) {
    std::string bases, news;
    for (const DeltaSource* source : planned.sources) {
        const auto fresh = readWhole(source->newFile);
        const auto base =
            source->base.empty() ? std::optional<std::string>("") : readWhole(source->baseFile);
        const auto digest = fresh ? gd::hashContent(*fresh) : std::nullopt;
        if (!fresh || !base || !digest) {
            error = "cannot read " + (fresh ? source->baseFile : source->newFile).string();
            return std::nullopt;
        }
        files.push_back({index, source->target, source->base, base->size(), fresh->size(),
                         source->mode, gd::digestOf(*digest)});
        bases += *base;
        news += *fresh;
    }
    group.method = planned.method;
    std::optional<std::string> payload;
    if (planned.method == gd::DeltaMethod::Prefix) {
        payload = zstdFrame(bases, news);
    } else {
        const BinaryDiff diff = diffBytes(bases, news);
        group.method = gd::DeltaMethod::ZstdDiff;
        const auto control = zstdPacked(diff.control, group.control);
        const auto added = zstdPacked(diff.added, group.added, addedWindow(diff.added.size()));
        const auto fresh = zstdPacked(diff.fresh, group.fresh);
        if (control && added && fresh) payload = *control + *added + *fresh;
    }
    if (!payload) {
        error = "cannot compress the delta of " + planned.sources.front()->target;
        return std::nullopt;
    }
    group.length = payload->size();
    return payload;
}

}  // namespace

bool writeDeltaPack(const std::vector<DeltaSource>& sources, const fs::path& out,
                    std::string& error) {
    const fs::path payloads = out.string() + ".payloads";
    gd::UniqueFd data(
        ::open(payloads.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!data) {
        error = "cannot write " + payloads.string();
        return false;
    }
    // Groups are compressed on both cores, each on its own, and written in
    // the plan's order: the pack is the same bytes as one made on one core.
    struct Encoded {
        gd::DeltaGroup group;
        std::vector<gd::DeltaFile> files;
        std::optional<std::string> payload;
        std::string error;
    };
    const std::vector<PlannedGroup> planned = planGroups(sources);
    gd::DeltaPack pack;
    gd::runInOrder<Encoded>(
        planned.size(), kEncodingThreads,
        [&](std::size_t index) {
            Encoded encoded;
            encoded.payload = encodeGroup(planned[index], encoded.group, encoded.files,
                                          static_cast<std::uint32_t>(index), encoded.error);
            return encoded;
        },
        [&](std::size_t, Encoded&& encoded) {
            if (!encoded.payload) {
                error = std::move(encoded.error);
                return false;
            }
            if (!gd::writeAll(data.get(), encoded.payload->data(), encoded.payload->size())) {
                error = "cannot write " + payloads.string();
                return false;
            }
            pack.groups.push_back(encoded.group);
            pack.files.insert(pack.files.end(), encoded.files.begin(), encoded.files.end());
            return true;
        });
    const std::string header = gd::deltaPackHeader(pack);
    gd::UniqueFd pack_(
        ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644));
    const bool written =
        error.empty() && pack_ && gd::writeAll(pack_.get(), header.data(), header.size()) &&
        ::lseek(data.get(), 0, SEEK_SET) == 0 &&
        gd::copyContents(data.get(), pack_.get()) == gd::CopyResult::Done && pack_.close();
    std::error_code ignored;
    fs::remove(payloads, ignored);
    if (!written && error.empty()) error = "cannot write " + out.string();
    return written;
}

}  // namespace gd::publish
