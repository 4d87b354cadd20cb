// The delta pack of a delta archive: the files that the archive rebuilds
// from the installed ones instead of carrying them whole. One zip entry
// (kDeltaPackEntry, beside update.dat) holds a header that lists the files
// and the groups they are rebuilt in, then each group's data:
//
//   "GDDP" 0x01, varint manifest length, varint deflated length,
//   manifest (raw deflate), then the groups' data in group order.
//
// A group rebuilds the concatenation of its files (in manifest order) from
// the concatenation of their bases, the installed files they replace:
//   Prefix: one zstd frame (without magic number) whose prefix (dictionary)
//           is the bases;
//   Diff:   a binary diff (copy-and-add from the bases, then new bytes) in
//           three raw LZMA2 streams: control records, added bytes, new bytes;
//   ZstdDiff: the same three streams as zstd frames (without magic number),
//           which unpack several times faster than LZMA2 for a few per cent
//           more bytes: the added bytes are one per rebuilt byte.
// Every rebuilt file is checked against its digest before anything uses it.
#pragma once

#include "trust/content_digest.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace gd {

inline constexpr std::string_view kDeltaPackEntry = "delta.pack";

// A Prefix group's bases and its result are held in memory at once: a group
// of several files holds this much of both together, a group of one file
// that file and its base up to kPrefixFileLimit each, so that rebuilding
// needs no more memory than the larger of them and 32 MiB.
inline constexpr std::uint64_t kPrefixGroupLimit = 32ull * 1024 * 1024;
inline constexpr std::uint64_t kPrefixFileLimit = 32ull * 1024 * 1024;
// Diff groups of more than one base hold them in memory together.
inline constexpr std::uint64_t kDiffGroupBaseLimit = 32ull * 1024 * 1024;
// The dictionary of one LZMA2 stream or the window of one zstd frame, and
// the control records of a group.
inline constexpr std::uint32_t kStreamWindowLimit = 8u * 1024 * 1024;
inline constexpr std::uint64_t kControlLimit = 64ull * 1024 * 1024;

enum class DeltaMethod : std::uint8_t { Prefix = 1, Diff = 2, ZstdDiff = 3 };

inline bool isBinaryDiff(DeltaMethod method) {
    return method == DeltaMethod::Diff || method == DeltaMethod::ZstdDiff;
}

// One stream of a Diff or ZstdDiff group: its bytes in the pack, unpacked
// size and dictionary (window) size.
struct DiffStream {
    std::uint64_t packed = 0;
    std::uint64_t size = 0;
    std::uint32_t dictionary = 0;
};

struct DeltaGroup {
    DeltaMethod method = DeltaMethod::Diff;
    std::uint64_t length = 0;          // Prefix: the frame; Diff: the three streams
    DiffStream control, added, fresh;  // Diff and ZstdDiff only
    std::uint64_t offset = 0;          // in the pack; set when read
};

struct DeltaFile {
    std::uint32_t group = 0;
    std::string target;  // relative to the unpacked archive, '/' between folders
    std::string base;    // relative to the installation; empty: none
    std::uint64_t baseSize = 0;
    std::uint64_t size = 0;
    std::uint32_t mode = 0644;  // permission bits, as an archive entry's
    ContentDigest digest{};
};

struct DeltaPack {
    std::vector<DeltaGroup> groups;
    std::vector<DeltaFile> files;

    // The format an installation must read to use the pack: 1 for Prefix
    // and Diff groups, which every launcher with deltas reads, 2 with a
    // ZstdDiff group (script/version_rules.h: the list names it).
    unsigned format() const;
};

// The pack's header for `pack`; the groups' data follow it in group order.
std::string deltaPackHeader(const DeltaPack& pack);

// The header at the start of `bytes`, which may end anywhere after it: its
// length (the magic, both lengths and the deflated manifest; 0 while `bytes`
// does not reach past both lengths, or when they are malformed), and once
// `bytes` holds all of it, the groups and files it lists (the groups not
// placed: their offsets stay 0).
struct DeltaPackHeader {
    std::uint64_t length = 0;
    std::optional<DeltaPack> pack;
};
DeltaPackHeader readDeltaPackHeader(std::string_view bytes);

// Reads the header of the pack in `fd` (`size` bytes) and places each
// group's data. nullopt when the pack is malformed: a group's data past the
// end, a file of a group that does not exist, more than kArchiveEntryLimit
// files, or a group over its limits.
std::optional<DeltaPack> readDeltaPack(int fd, std::uint64_t size);

}  // namespace gd
