#include "update/delta_pack.h"

#include "update/update_archive.h"
#include "util/fd_io.h"
#include "util/varint.h"

#include <zlib.h>

#include <algorithm>
#include <memory>

namespace gd {

namespace {

constexpr std::string_view kMagic{"GDDP\x01", 5};
// Room for the magic and both lengths.
constexpr std::size_t kLeadLimit = kMagic.size() + 20;
constexpr std::uint64_t kManifestLimit = 16ull * 1024 * 1024;
// A control record's three numbers, at their longest.
constexpr std::uint64_t kRecordBytesLimit = 3 * 10;
// LZMA2 cannot use a smaller dictionary.
constexpr std::uint32_t kStreamWindowMinimum = 4096;

struct DeflateEnd {
    void operator()(z_stream* stream) const { deflateEnd(stream); }
};
struct InflateEnd {
    void operator()(z_stream* stream) const { inflateEnd(stream); }
};

std::string deflated(const std::string& bytes) {
    z_stream stream{};
    if (deflateInit2(&stream, Z_BEST_COMPRESSION, Z_DEFLATED, -MAX_WBITS, 9, Z_DEFAULT_STRATEGY) !=
        Z_OK)
        return {};
    const std::unique_ptr<z_stream, DeflateEnd> owner(&stream);
    std::string out(deflateBound(&stream, bytes.size()), '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes.data()));
    stream.avail_in = static_cast<uInt>(bytes.size());
    stream.next_out = reinterpret_cast<Bytef*>(out.data());
    stream.avail_out = static_cast<uInt>(out.size());
    if (deflate(&stream, Z_FINISH) != Z_STREAM_END) return {};
    out.resize(stream.total_out);
    return out;
}

std::optional<std::string> inflated(std::string_view packed, std::uint64_t size) {
    z_stream stream{};
    if (inflateInit2(&stream, -MAX_WBITS) != Z_OK) return std::nullopt;
    const std::unique_ptr<z_stream, InflateEnd> owner(&stream);
    std::string out(size, '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(packed.data()));
    stream.avail_in = static_cast<uInt>(packed.size());
    stream.next_out = reinterpret_cast<Bytef*>(out.data());
    stream.avail_out = static_cast<uInt>(out.size());
    if (inflate(&stream, Z_FINISH) != Z_STREAM_END || stream.total_out != size ||
        stream.avail_in != 0)
        return std::nullopt;
    return out;
}

void appendStream(std::string& out, const DiffStream& stream) {
    appendVarint(out, stream.packed);
    appendVarint(out, stream.size);
    appendVarint(out, stream.dictionary);
}

std::string manifestOf(const DeltaPack& pack) {
    std::string out;
    appendVarint(out, pack.groups.size());
    for (const DeltaGroup& group : pack.groups) {
        out.push_back(static_cast<char>(group.method));
        appendVarint(out, group.length);
        if (!isBinaryDiff(group.method)) continue;
        appendStream(out, group.control);
        appendStream(out, group.added);
        appendStream(out, group.fresh);
    }
    appendVarint(out, pack.files.size());
    for (const DeltaFile& file : pack.files) {
        appendVarint(out, file.group);
        appendBytes(out, file.target);
        appendBytes(out, file.base);
        appendVarint(out, file.baseSize);
        appendVarint(out, file.size);
        appendVarint(out, file.mode);
        out.append(reinterpret_cast<const char*>(file.digest.data()), file.digest.size());
    }
    return out;
}

std::optional<DiffStream> readStream(VarintReader& in) {
    const auto packed = in.number(), size = in.number(), dictionary = in.number();
    if (!dictionary || *dictionary < kStreamWindowMinimum || *dictionary > kStreamWindowLimit)
        return std::nullopt;
    return DiffStream{*packed, *size, static_cast<std::uint32_t>(*dictionary)};
}

std::optional<DeltaGroup> readGroup(VarintReader& in) {
    const auto method = in.take(1);
    const auto length = in.number();
    if (!length) return std::nullopt;
    DeltaGroup group;
    group.length = *length;
    if ((*method)[0] == static_cast<char>(DeltaMethod::Prefix)) {
        group.method = DeltaMethod::Prefix;
        return group;
    }
    if ((*method)[0] == static_cast<char>(DeltaMethod::Diff)) {
        group.method = DeltaMethod::Diff;
    } else if ((*method)[0] == static_cast<char>(DeltaMethod::ZstdDiff)) {
        group.method = DeltaMethod::ZstdDiff;
    } else {
        return std::nullopt;
    }
    const auto control = readStream(in), added = readStream(in), fresh = readStream(in);
    if (!control || !added || !fresh || control->size > kControlLimit) return std::nullopt;
    // Each may be at most the whole group, so that the sum cannot wrap.
    if (control->packed > group.length || added->packed > group.length ||
        fresh->packed > group.length ||
        control->packed + added->packed + fresh->packed != group.length)
        return std::nullopt;
    group.control = *control;
    group.added = *added;
    group.fresh = *fresh;
    return group;
}

std::optional<DeltaFile> readFile(VarintReader& in, std::size_t groups) {
    const auto group = in.number();
    const auto target = in.bytes(), base = in.bytes();
    const auto baseSize = in.number(), size = in.number(), mode = in.number();
    const auto digest = in.take(ContentDigest{}.size());
    if (!digest || *group >= groups || target->empty() || *mode > 0777) return std::nullopt;
    if (base->empty() && *baseSize != 0) return std::nullopt;
    DeltaFile file{static_cast<std::uint32_t>(*group),
                   std::string(*target),
                   std::string(*base),
                   *baseSize,
                   *size,
                   static_cast<std::uint32_t>(*mode),
                   {}};
    std::copy(digest->begin(), digest->end(), reinterpret_cast<char*>(file.digest.data()));
    return file;
}

std::optional<DeltaPack> parseManifest(std::string_view manifest) {
    VarintReader in(manifest);
    DeltaPack pack;
    const auto groups = in.number();
    if (!groups || *groups > kArchiveEntryLimit) return std::nullopt;
    for (std::uint64_t i = 0; i < *groups; ++i) {
        auto group = readGroup(in);
        if (!group) return std::nullopt;
        pack.groups.push_back(*group);
    }
    const auto files = in.number();
    if (!files || *files > kArchiveEntryLimit) return std::nullopt;
    for (std::uint64_t i = 0; i < *files; ++i) {
        auto file = readFile(in, pack.groups.size());
        if (!file) return std::nullopt;
        pack.files.push_back(std::move(*file));
    }
    if (!in.atEnd()) return std::nullopt;
    return pack;
}

// What a group holds, against the limits of its method.
bool groupFits(const DeltaPack& pack, std::size_t index) {
    std::uint64_t bases = 0, baseCount = 0, sizes = 0, fileCount = 0;
    for (const DeltaFile& file : pack.files) {
        if (file.group != index) continue;
        // Each term is checked before the sums can wrap.
        if (file.baseSize > kArchiveExtractLimit || file.size > kArchiveExtractLimit) return false;
        bases += file.baseSize;
        sizes += file.size;
        baseCount += file.base.empty() ? 0 : 1;
        ++fileCount;
    }
    const DeltaGroup& group = pack.groups[index];
    if (fileCount == 0) return false;
    if (group.method == DeltaMethod::Prefix)
        return fileCount == 1 ? bases <= kPrefixFileLimit && sizes <= kPrefixFileLimit
                              : bases + sizes <= kPrefixGroupLimit;
    if (baseCount > 1 && bases > kDiffGroupBaseLimit) return false;
    // No more records than the output has bytes, and one to end on, each of
    // three numbers: what the control stream may unpack to.
    if (group.control.size > kRecordBytesLimit * (sizes + 1)) return false;
    return group.added.size + group.fresh.size == sizes && group.added.size <= sizes;
}

// The magic and both lengths at the start of a pack.
struct Lead {
    std::uint64_t manifestSize = 0;
    std::uint64_t packedSize = 0;
    std::uint64_t start = 0;  // of the deflated manifest
};

// nullopt when `bytes` does not start with a lead, or ends inside it.
std::optional<Lead> leadOf(std::string_view bytes) {
    if (!bytes.starts_with(kMagic)) return std::nullopt;
    VarintReader in(bytes.substr(kMagic.size()));
    const auto manifestSize = in.number(), packedSize = in.number();
    if (!packedSize || *manifestSize > kManifestLimit || *packedSize > kManifestLimit)
        return std::nullopt;
    return Lead{*manifestSize, *packedSize, bytes.size() - in.remaining()};
}

}  // namespace

unsigned DeltaPack::format() const {
    const bool zstdStreams = std::any_of(groups.begin(), groups.end(), [](const DeltaGroup& g) {
        return g.method == DeltaMethod::ZstdDiff;
    });
    return zstdStreams ? 2 : 1;
}

std::string deltaPackHeader(const DeltaPack& pack) {
    const std::string manifest = manifestOf(pack);
    const std::string packed = deflated(manifest);
    std::string header(kMagic);
    appendVarint(header, manifest.size());
    appendVarint(header, packed.size());
    return header + packed;
}

DeltaPackHeader readDeltaPackHeader(std::string_view bytes) {
    DeltaPackHeader header;
    const auto lead = leadOf(bytes.substr(0, kLeadLimit));
    if (!lead) return header;
    header.length = lead->start + lead->packedSize;
    if (bytes.size() < header.length) return header;
    const auto manifest = inflated(bytes.substr(static_cast<std::size_t>(lead->start),
                                                static_cast<std::size_t>(lead->packedSize)),
                                   lead->manifestSize);
    header.pack = manifest ? parseManifest(*manifest) : std::nullopt;
    return header;
}

std::optional<DeltaPack> readDeltaPack(int fd, std::uint64_t size) {
    std::string leadBytes(static_cast<std::size_t>(std::min<std::uint64_t>(size, kLeadLimit)),
                          '\0');
    if (!readAllAt(fd, leadBytes.data(), leadBytes.size(), 0)) return std::nullopt;
    const auto lead = leadOf(leadBytes);
    if (!lead || lead->packedSize > size - lead->start) return std::nullopt;
    const std::uint64_t start = lead->start;
    std::string packed(static_cast<std::size_t>(lead->packedSize), '\0');
    if (!readAllAt(fd, packed.data(), packed.size(), start)) return std::nullopt;
    const auto manifest = inflated(packed, lead->manifestSize);
    auto pack = manifest ? parseManifest(*manifest) : std::nullopt;
    if (!pack) return std::nullopt;
    std::uint64_t offset = start + lead->packedSize;
    for (std::size_t i = 0; i < pack->groups.size(); ++i) {
        DeltaGroup& group = pack->groups[i];
        if (group.length > size - offset || !groupFits(*pack, i)) return std::nullopt;
        group.offset = offset;
        offset += group.length;
    }
    if (offset != size) return std::nullopt;
    return pack;
}

}  // namespace gd
