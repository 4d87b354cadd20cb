// The binary diff of a delta pack's Diff groups, as Colin Percival's bsdiff
// makes it: the new bytes are runs copied from the old ones with small
// differences added (code that moved keeps most of its bytes, only the
// addresses in it change) and runs of bytes that are new.
#pragma once

#include <string>
#include <string_view>

namespace gd::publish {

struct BinaryDiff {
    // Per run: varint bytes copied-and-added, varint new bytes, zigzag
    // varint seek in the old bytes after the copy.
    std::string control;
    std::string added;  // the copies' differences (new - old), byte by byte
    std::string fresh;  // the new bytes
};

// `older` may be empty; it must be shorter than 2 GiB.
BinaryDiff diffBytes(std::string_view older, std::string_view newer);

}  // namespace gd::publish
