// Unpacking a patch archive while it downloads. The entries are inflated as
// their bytes arrive (each behind its local header) into a private folder,
// one file per entry named by its position; the central directory at the end
// is then held against what streamed by, and only an archive whose directory
// names exactly those entries, at those offsets, with those names, sizes and
// CRCs, is placed, by the rules of UnpackArchive (PlaceStreamedEntries).
//
// What cannot be read front to back (data before the first entry, a stored
// entry without its sizes in front of its data, a directory that disagrees
// with the entries, an end record that the whole-file reading would not take
// for the end, ZIP64 end records, more entries or bytes than the limits
// allow) is left to UnpackArchive on the whole downloaded file:
// needsWholeFile() or matchesDirectory() then says so, and accept() refuses
// the rest.
#pragma once

#include "fetch/download_sink.h"
#include "update/update_archive.h"
#include "util/early_flush.h"
#include "util/files_ahead.h"
#include "util/unique_fd.h"

#include <zlib.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace gd {

class StreamingUnpack final : public DownloadSink {
  public:
    // Inflates into `dataDir`, which it makes (mode 0700) and which must not
    // exist yet; no more than `limit` bytes are written there. With
    // Durable::Yes sync() is to follow.
    StreamingUnpack(const std::filesystem::path& dataDir, std::uint64_t limit,
                    Durable durable = Durable::No);
    StreamingUnpack(const StreamingUnpack&) = delete;
    StreamingUnpack& operator=(const StreamingUnpack&) = delete;
    ~StreamingUnpack() override;

    bool accept(std::span<const char> bytes) override;
    std::uint64_t received() const override { return received_; }

    bool needsWholeFile() const { return state_ == State::WholeFileNeeded; }
    // Once every byte has arrived: the archive ended with its end record and
    // its directory matches the entries that streamed by.
    bool matchesDirectory() const;
    // Makes every inflated file durable at once; false when that failed.
    bool sync() const;
    // Places what was inflated under `baseDir` (see PlaceStreamedEntries);
    // why it cannot goes to `why` when given.
    std::optional<UnpackedArchive> place(const std::filesystem::path& baseDir,
                                         std::string* why = nullptr) const;

  private:
    enum class State {
        Signature,
        LocalHeader,
        Data,
        Descriptor,
        CentralHeader,
        EndRecord,
        Done,
        WholeFileNeeded,
    };
    // An entry as its local header (and data descriptor) told it, and what
    // its data gave.
    struct LocalEntry {
        std::uint64_t offset = 0;
        std::uint16_t flags = 0;
        std::uint16_t method = 0;
        std::uint32_t crc = 0;
        std::uint64_t compressedSize = 0;
        std::uint64_t size = 0;
        bool zip64 = false;
        std::string rawName;
        StreamedData data = StreamedData::Absent;
    };

    void step(std::span<const char>& bytes);
    bool gather(std::span<const char>& bytes, std::size_t want);
    void onSignature();
    void onLocalHeader();
    void startData();
    void onData(std::span<const char>& bytes);
    void inflateData(std::span<const char>& bytes);
    void copyData(std::span<const char>& bytes);
    void output(const char* data, std::size_t size);
    void endData();
    void onDescriptor();
    void finishEntry();
    void onCentralHeader();
    void onEndRecord();
    bool endRecordAgrees() const;
    void keepTail(std::string_view bytes);
    void needWholeFile();

    std::filesystem::path dataDir_;
    UniqueFd dataFd_;
    std::uint64_t limit_;
    std::uint64_t written_ = 0;
    std::uint64_t received_ = 0;
    std::uint64_t offset_ = 0;  // of the next byte the parser takes
    std::uint64_t recordStart_ = 0;
    std::uint64_t directoryOffset_ = 0;

    State state_ = State::Signature;
    std::string header_;    // the record being gathered
    std::size_t want_ = 0;  // its length, once known
    bool fixedPart_ = true;

    std::vector<LocalEntry> entries_;
    std::vector<ArchiveRecord> records_;
    // The end record as it was read.
    struct EndRecord {
        std::uint64_t offset = 0;
        std::uint32_t disks = 0;  // either disk number set
        std::uint16_t entriesHere = 0;
        std::uint16_t entries = 0;
        std::uint32_t directorySize = 0;
        std::uint32_t directoryOffset = 0;
    };
    EndRecord end_;
    // The last bytes received (at least the last kEndSearch of them, when
    // there were as many), searched for signatures once the end is known.
    std::string tail_;

    // The entry whose data is streaming.
    enum class DataMode { Inflate, Copy, Skip };
    DataMode mode_ = DataMode::Skip;
    std::uint64_t dataLeft_ = 0;  // of its compressed bytes, when known
    std::uint64_t consumed_ = 0;
    std::uint64_t produced_ = 0;
    std::uint32_t crc_ = 0;
    bool broken_ = false;
    UniqueFd file_;
    z_stream zip_{};
    bool zipReady_ = false;
    std::unique_ptr<char[]> out_;
    std::optional<EarlyFlush> flush_;
    std::optional<FilesAhead> files_;  // in dataDir_, one for each entry extracted
};

}  // namespace gd
