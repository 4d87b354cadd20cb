#include "publish/binary_diff.h"

#include "util/varint.h"

#include <divsufsort.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

namespace gd::publish {

namespace {

std::int64_t matchLength(std::string_view older, std::int64_t at, std::string_view newer,
                         std::int64_t from) {
    const auto limit = std::min<std::int64_t>(static_cast<std::int64_t>(older.size()) - at,
                                              static_cast<std::int64_t>(newer.size()) - from);
    std::int64_t length = 0;
    while (length < limit && older[at + length] == newer[from + length]) ++length;
    return length;
}

struct Match {
    std::int64_t length = 0;
    std::int64_t position = 0;
};

// The suffix of `older` that begins the longest run of newer[from..], by
// binary search over the suffix array.
Match longestMatch(const std::vector<saidx_t>& suffixes, std::string_view older,
                   std::string_view newer, std::int64_t from) {
    if (suffixes.empty()) return {};
    std::int64_t low = 0, high = static_cast<std::int64_t>(suffixes.size()) - 1;
    const std::string_view wanted = newer.substr(static_cast<std::size_t>(from));
    while (high - low >= 2) {
        const std::int64_t middle = low + (high - low) / 2;
        const std::string_view suffix = older.substr(static_cast<std::size_t>(suffixes[middle]));
        const std::size_t common = std::min(suffix.size(), wanted.size());
        if (std::memcmp(suffix.data(), wanted.data(), common) < 0) {
            low = middle;
        } else {
            high = middle;
        }
    }
    const Match first{matchLength(older, suffixes[low], newer, from), suffixes[low]};
    const Match second{matchLength(older, suffixes[high], newer, from), suffixes[high]};
    return first.length >= second.length ? first : second;
}

class Differ {
  public:
    Differ(std::string_view older, std::string_view newer)
        : older_(older),
          newer_(newer),
          oldSize_(static_cast<std::int64_t>(older.size())),
          newSize_(static_cast<std::int64_t>(newer.size())),
          suffixes_(older.size()) {
        if (!older.empty())
            divsufsort(reinterpret_cast<const sauchar_t*>(older.data()), suffixes_.data(),
                       static_cast<saidx_t>(older.size()));
    }

    BinaryDiff run() {
        std::int64_t scan = 0, length = 0, position = 0;
        while (scan < newSize_) {
            std::int64_t oldScore = 0;
            std::int64_t scanned = scan += length;
            // Looks for a match that is better than going on with the
            // current alignment by more than a few bytes.
            for (; scan < newSize_; ++scan) {
                const Match match = longestMatch(suffixes_, older_, newer_, scan);
                length = match.length;
                position = match.position;
                for (; scanned < scan + length; ++scanned) {
                    if (alignedEqual(scanned)) ++oldScore;
                }
                if ((length == oldScore && length != 0) || length > oldScore + 8) break;
                if (alignedEqual(scan)) --oldScore;
            }
            if (length != oldScore || scan == newSize_) emit(scan, position);
        }
        return std::move(diff_);
    }

  private:
    bool alignedEqual(std::int64_t at) const {
        return at + lastOffset_ >= 0 && at + lastOffset_ < oldSize_ &&
               older_[at + lastOffset_] == newer_[at];
    }

    // Ends the run from lastScan_ at the match found at `scan`: how far the
    // old alignment carries forward, how far the new match reaches back, and
    // the new bytes between them.
    void emit(std::int64_t scan, std::int64_t position) {
        std::int64_t forward = 0;
        for (std::int64_t i = 0, same = 0, best = 0;
             lastScan_ + i < scan && lastPosition_ + i < oldSize_;) {
            if (older_[lastPosition_ + i] == newer_[lastScan_ + i]) ++same;
            ++i;
            if (same * 2 - i > best * 2 - forward) {
                best = same;
                forward = i;
            }
        }
        std::int64_t backward = 0;
        if (scan < newSize_) {
            for (std::int64_t i = 1, same = 0, best = 0; scan >= lastScan_ + i && position >= i;
                 ++i) {
                if (older_[position - i] == newer_[scan - i]) ++same;
                if (same * 2 - i > best * 2 - backward) {
                    best = same;
                    backward = i;
                }
            }
        }
        if (lastScan_ + forward > scan - backward) {
            const std::int64_t overlap = (lastScan_ + forward) - (scan - backward);
            std::int64_t same = 0, best = 0, split = 0;
            for (std::int64_t i = 0; i < overlap; ++i) {
                if (newer_[lastScan_ + forward - overlap + i] ==
                    older_[lastPosition_ + forward - overlap + i])
                    ++same;
                if (newer_[scan - backward + i] == older_[position - backward + i]) --same;
                if (same > best) {
                    best = same;
                    split = i + 1;
                }
            }
            forward += split - overlap;
            backward -= split;
        }
        for (std::int64_t i = 0; i < forward; ++i)
            diff_.added.push_back(
                static_cast<char>(newer_[lastScan_ + i] - older_[lastPosition_ + i]));
        const std::int64_t freshStart = lastScan_ + forward;
        const std::int64_t freshLength = (scan - backward) - freshStart;
        diff_.fresh.append(newer_.substr(static_cast<std::size_t>(freshStart),
                                         static_cast<std::size_t>(freshLength)));
        gd::appendVarint(diff_.control, static_cast<std::uint64_t>(forward));
        gd::appendVarint(diff_.control, static_cast<std::uint64_t>(freshLength));
        gd::appendSignedVarint(diff_.control, (position - backward) - (lastPosition_ + forward));
        lastScan_ = scan - backward;
        lastPosition_ = position - backward;
        lastOffset_ = position - scan;
    }

    std::string_view older_, newer_;
    std::int64_t oldSize_, newSize_;
    std::vector<saidx_t> suffixes_;
    std::int64_t lastScan_ = 0, lastPosition_ = 0, lastOffset_ = 0;
    BinaryDiff diff_;
};

}  // namespace

BinaryDiff diffBytes(std::string_view older, std::string_view newer) {
    return Differ(older, newer).run();
}

}  // namespace gd::publish
