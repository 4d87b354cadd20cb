#include "update/streaming_unpack.h"

#include "util/fd_io.h"

#include <libdeflate.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <initializer_list>
#include <string_view>

namespace gd {

namespace {

constexpr std::uint32_t kLocalSignature = 0x04034b50;
constexpr std::uint32_t kCentralSignature = 0x02014b50;
constexpr std::uint32_t kEndSignature = 0x06054b50;
constexpr std::uint32_t kDescriptorSignature = 0x08074b50;
constexpr std::size_t kLocalFixed = 30;
constexpr std::size_t kCentralFixed = 46;
constexpr std::size_t kEndFixed = 22;
// How far from its end the whole-file reading looks for the end record (and
// for a ZIP64 locator): the longest comment an end record can have.
constexpr std::size_t kEndSearch = 0xffff;
constexpr std::string_view kEndSignatureBytes{"PK\x05\x06", 4};
constexpr std::string_view kZip64LocatorBytes{"PK\x06\x07", 4};
constexpr std::uint16_t kEncryptedFlag = 1u << 0;
constexpr std::uint16_t kDescriptorFlag = 1u << 3;
constexpr std::uint16_t kUtf8NameFlag = 1u << 11;
constexpr std::uint16_t kStored = 0;
constexpr std::uint16_t kDeflated = 8;
constexpr std::uint32_t kSizeInZip64 = 0xffffffff;
constexpr std::uint16_t kZip64ExtraId = 0x0001;
constexpr std::size_t kOutputSize = 256 * 1024;

std::uint64_t little(std::string_view bytes, std::size_t at, std::size_t width) {
    std::uint64_t value = 0;
    for (std::size_t i = width; i-- > 0;)
        value = (value << 8) | static_cast<unsigned char>(bytes[at + i]);
    return value;
}
std::uint16_t u16(std::string_view bytes, std::size_t at) {
    return static_cast<std::uint16_t>(little(bytes, at, 2));
}
std::uint32_t u32(std::string_view bytes, std::size_t at) {
    return static_cast<std::uint32_t>(little(bytes, at, 4));
}

// The body of the extra field `id`, if the record has one.
std::optional<std::string_view> extraField(std::string_view extra, std::uint16_t id) {
    std::size_t at = 0;
    while (at + 4 <= extra.size()) {
        const std::size_t size = u16(extra, at + 2);
        if (at + 4 + size > extra.size()) break;
        if (u16(extra, at) == id) return extra.substr(at + 4, size);
        at += 4 + size;
    }
    return std::nullopt;
}

// Fills the fields that hold 0xffffffff from the ZIP64 extra field, in the
// order the format lists them; false when it does not hold them all.
bool readZip64(std::string_view extra, std::initializer_list<std::uint64_t*> fields) {
    const auto body = extraField(extra, kZip64ExtraId);
    std::size_t at = 0;
    for (std::uint64_t* field : fields) {
        if (*field != kSizeInZip64) continue;
        if (!body || at + 8 > body->size()) return false;
        *field = little(*body, at, 8);
        at += 8;
    }
    return true;
}

}  // namespace

StreamingUnpack::StreamingUnpack(const std::filesystem::path& dataDir, std::uint64_t limit,
                                 Durable durable)
    : dataDir_(dataDir), limit_(limit), out_(std::make_unique<char[]>(kOutputSize)) {
    if (durable == Durable::Yes) flush_.emplace();
    if (::mkdir(dataDir.c_str(), 0700) == 0)
        dataFd_.reset(::open(dataDir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dataFd_) files_.emplace(dataFd_.get());
    zipReady_ = inflateInit2(&zip_, -MAX_WBITS) == Z_OK;
    if (!dataFd_ || !zipReady_) state_ = State::WholeFileNeeded;
}

StreamingUnpack::~StreamingUnpack() {
    if (zipReady_) inflateEnd(&zip_);
}

bool StreamingUnpack::accept(std::span<const char> bytes) {
    if (state_ == State::WholeFileNeeded) return false;
    keepTail(std::string_view(bytes.data(), bytes.size()));
    received_ += bytes.size();
    while (!bytes.empty() && state_ != State::WholeFileNeeded) step(bytes);
    return state_ != State::WholeFileNeeded;
}

// Keeps the stream's last bytes, where the whole-file reading searches for
// the end record and a ZIP64 locator; looking for them in every byte as it
// passed cost more than inflating the archive. The tail may grow to twice
// the search before it is cut, so that small pieces do not move it each time.
void StreamingUnpack::keepTail(std::string_view bytes) {
    if (bytes.size() >= kEndSearch) {
        tail_.assign(bytes.substr(bytes.size() - kEndSearch));
        return;
    }
    tail_.append(bytes);
    if (tail_.size() > 2 * kEndSearch) tail_.erase(0, tail_.size() - kEndSearch);
}

void StreamingUnpack::needWholeFile() {
    state_ = State::WholeFileNeeded;
    file_.reset();
}

bool StreamingUnpack::gather(std::span<const char>& bytes, std::size_t want) {
    const std::size_t take = std::min(want - header_.size(), bytes.size());
    header_.append(bytes.data(), take);
    bytes = bytes.subspan(take);
    offset_ += take;
    return header_.size() == want;
}

void StreamingUnpack::step(std::span<const char>& bytes) {
    switch (state_) {
        case State::Signature:
            if (gather(bytes, 4)) onSignature();
            return;
        case State::LocalHeader:
            if (!gather(bytes, want_)) return;
            if (fixedPart_) {
                fixedPart_ = false;
                want_ = kLocalFixed + u16(header_, 26) + u16(header_, 28);
                if (header_.size() < want_) return;
            }
            onLocalHeader();
            return;
        case State::Data:
            onData(bytes);
            return;
        case State::Descriptor:
            if (!gather(bytes, want_)) return;
            if (fixedPart_) {
                fixedPart_ = false;
                const std::size_t sizes = entries_.back().zip64 ? 16 : 8;
                want_ = (u32(header_, 0) == kDescriptorSignature ? 8 : 4) + sizes;
                return;
            }
            onDescriptor();
            return;
        case State::CentralHeader:
            if (!gather(bytes, want_)) return;
            if (fixedPart_) {
                fixedPart_ = false;
                want_ = kCentralFixed + u16(header_, 28) + u16(header_, 30) + u16(header_, 32);
                if (header_.size() < want_) return;
            }
            onCentralHeader();
            return;
        case State::EndRecord:
            if (!gather(bytes, want_)) return;
            if (fixedPart_) {
                fixedPart_ = false;
                want_ = kEndFixed + u16(header_, 20);
                if (header_.size() < want_) return;
            }
            onEndRecord();
            return;
        case State::Done:
        case State::WholeFileNeeded:
            // Bytes after the end record: not an archive read front to back.
            return needWholeFile();
    }
}

void StreamingUnpack::onSignature() {
    recordStart_ = offset_ - 4;
    fixedPart_ = true;
    const std::uint32_t signature = u32(header_, 0);
    if (signature == kLocalSignature && records_.empty()) {
        state_ = State::LocalHeader;
        want_ = kLocalFixed;
    } else if (signature == kCentralSignature) {
        if (records_.empty()) {
            directoryOffset_ = recordStart_;
            files_->stop();  // no entry comes after the directory
        }
        state_ = State::CentralHeader;
        want_ = kCentralFixed;
    } else if (signature == kEndSignature) {
        state_ = State::EndRecord;
        want_ = kEndFixed;
    } else {
        needWholeFile();
    }
}

void StreamingUnpack::onLocalHeader() {
    if (entries_.size() == kArchiveEntryLimit) return needWholeFile();
    LocalEntry entry;
    entry.offset = recordStart_;
    entry.flags = u16(header_, 6);
    entry.method = u16(header_, 8);
    entry.crc = u32(header_, 14);
    entry.compressedSize = u32(header_, 18);
    entry.size = u32(header_, 22);
    const std::size_t nameLength = u16(header_, 26);
    const std::string_view extra =
        std::string_view(header_).substr(kLocalFixed + nameLength, u16(header_, 28));
    entry.rawName = header_.substr(kLocalFixed, nameLength);
    entry.zip64 = extraField(extra, kZip64ExtraId).has_value();
    if (!readZip64(extra, {&entry.size, &entry.compressedSize})) return needWholeFile();
    // A size in front that does not fit is not inflated first: the whole
    // file's directory then refuses it before anything is written.
    const bool sizeInFront = (entry.flags & kDescriptorFlag) == 0;
    if (sizeInFront && entry.size > limit_ - written_) return needWholeFile();
    entries_.push_back(std::move(entry));
    startData();
}

void StreamingUnpack::startData() {
    const LocalEntry& entry = entries_.back();
    const bool descriptor = (entry.flags & kDescriptorFlag) != 0;
    header_.clear();
    consumed_ = 0;
    produced_ = 0;
    crc_ = 0;
    broken_ = false;
    dataLeft_ = descriptor ? UINT64_MAX : entry.compressedSize;
    const bool encrypted = (entry.flags & kEncryptedFlag) != 0;
    if (encrypted || (entry.method != kStored && entry.method != kDeflated)) {
        // Never extracted; only the sizes in front of the data tell its end.
        if (descriptor) return needWholeFile();
        mode_ = DataMode::Skip;
    } else if (entry.method == kStored) {
        // Stored data ends where its sizes say. Where the descriptor after it
        // has the real ones, those in front are taken on trust and the
        // descriptor must repeat them (archivers writing to a pipe do so for
        // empty files); the central directory is held against both anyway.
        if (entry.compressedSize != entry.size) return needWholeFile();
        dataLeft_ = entry.compressedSize;
        mode_ = DataMode::Copy;
    } else {
        mode_ = DataMode::Inflate;
        if (inflateReset(&zip_) != Z_OK) return needWholeFile();
    }
    if (mode_ != DataMode::Skip) file_ = files_->take(entries_.size() - 1);
    state_ = State::Data;
    if (dataLeft_ == 0) endData();
}

void StreamingUnpack::onData(std::span<const char>& bytes) {
    if (mode_ == DataMode::Inflate) return inflateData(bytes);
    const std::size_t take =
        static_cast<std::size_t>(std::min<std::uint64_t>(dataLeft_, bytes.size()));
    if (mode_ == DataMode::Copy) output(bytes.data(), take);
    bytes = bytes.subspan(take);
    offset_ += take;
    consumed_ += take;
    dataLeft_ -= take;
    if (dataLeft_ == 0 && state_ == State::Data) endData();
}

void StreamingUnpack::inflateData(std::span<const char>& bytes) {
    const bool descriptor = dataLeft_ == UINT64_MAX;
    const auto available =
        static_cast<uInt>(std::min<std::uint64_t>({dataLeft_, bytes.size(), UINT32_MAX}));
    zip_.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes.data()));
    zip_.avail_in = available;
    bool ended = false;
    while (!broken_ && state_ == State::Data) {
        zip_.next_out = reinterpret_cast<Bytef*>(out_.get());
        zip_.avail_out = kOutputSize;
        const int status = inflate(&zip_, Z_NO_FLUSH);
        output(out_.get(), kOutputSize - zip_.avail_out);
        if (status == Z_STREAM_END) {
            ended = true;
            break;
        }
        if (status != Z_OK && status != Z_BUF_ERROR) broken_ = true;
        if (zip_.avail_in == 0 && zip_.avail_out != 0) break;
    }
    if (state_ != State::Data) return;
    const std::size_t used = available - zip_.avail_in;
    bytes = bytes.subspan(used);
    offset_ += used;
    consumed_ += used;
    if (descriptor) {
        // Only the end of the deflate stream tells where the data ends.
        if (broken_) return needWholeFile();
        if (ended) endData();
        return;
    }
    dataLeft_ -= used;
    // The sizes in front of the data tell its end: what is left is passed over.
    if (broken_ || ended) mode_ = DataMode::Skip;
    if (dataLeft_ == 0) endData();
}

void StreamingUnpack::output(const char* data, std::size_t size) {
    if (size == 0) return;
    const LocalEntry& entry = entries_.back();
    produced_ += size;
    const bool descriptor = (entry.flags & kDescriptorFlag) != 0;
    if (!descriptor && produced_ > entry.size) {
        broken_ = true;
        return;
    }
    if (size > limit_ - written_) return needWholeFile();
    written_ += size;
    // libdeflate's CRC (carry-less multiplication) runs at more than twice
    // zlib's speed, and every unpacked byte passes through it.
    crc_ = libdeflate_crc32(crc_, data, size);
    if (file_ && !writeAll(file_.get(), data, size)) {
        // Like a file that cannot be created: the entry is skipped.
        file_.reset();
        ::unlinkat(dataFd_.get(), std::to_string(entries_.size() - 1).c_str(), 0);
    } else if (file_ && flush_) {
        flush_->writing(file_.get(), produced_);
    }
}

void StreamingUnpack::endData() {
    if ((entries_.back().flags & kDescriptorFlag) == 0) return finishEntry();
    state_ = State::Descriptor;
    header_.clear();
    fixedPart_ = true;
    want_ = 4;
}

void StreamingUnpack::onDescriptor() {
    LocalEntry& entry = entries_.back();
    const std::size_t at = u32(header_, 0) == kDescriptorSignature ? 4 : 0;
    entry.crc = u32(header_, at);
    const std::size_t width = entry.zip64 ? 8 : 4;
    entry.compressedSize = little(header_, at + 4, width);
    entry.size = little(header_, at + 4 + width, width);
    // Stored data of another length than trusted: its end was not where it
    // was taken to be, and nothing after it can be read in order.
    if (entry.method == kStored && (entry.compressedSize != consumed_ || entry.size != consumed_))
        return needWholeFile();
    finishEntry();
}

void StreamingUnpack::finishEntry() {
    LocalEntry& entry = entries_.back();
    if (file_) {
        const bool whole = !broken_ && produced_ == entry.size && crc_ == entry.crc &&
                           consumed_ == entry.compressedSize;
        if (!whole) {
            entry.data = StreamedData::Corrupt;
        } else {
            // Its writeback starts now, while the rest arrives, so that the
            // one sync of the whole batch (sync()) finds little left to do.
            if (flush_) {
                flush_->finished(file_.get(), produced_);
            } else {
                ::sync_file_range(file_.get(), 0, 0, SYNC_FILE_RANGE_WRITE);
            }
            entry.data = file_.close() ? StreamedData::Written : StreamedData::Absent;
        }
    }
    file_.reset();
    mode_ = DataMode::Skip;
    state_ = State::Signature;
    header_.clear();
}

void StreamingUnpack::onCentralHeader() {
    if (records_.size() == kArchiveEntryLimit) return needWholeFile();
    const std::string_view header = header_;
    ArchiveRecord record;
    record.versionMadeBy = u16(header, 4);
    record.flags = u16(header, 8);
    record.method = u16(header, 10);
    record.dosDateTime = u32(header, 12);
    record.crc = u32(header, 16);
    record.compressedSize = u32(header, 20);
    record.size = u32(header, 24);
    record.externalAttributes = u32(header, 38);
    record.localHeaderOffset = u32(header, 42);
    const std::size_t nameLength = u16(header, 28);
    const std::string_view extra = header.substr(kCentralFixed + nameLength, u16(header, 30));
    record.rawName = header_.substr(kCentralFixed, nameLength);
    record.extra.assign(extra.begin(), extra.end());
    if (!readZip64(extra, {&record.size, &record.compressedSize, &record.localHeaderOffset}))
        return needWholeFile();
    records_.push_back(std::move(record));
    state_ = State::Signature;
    header_.clear();
}

void StreamingUnpack::onEndRecord() {
    end_.offset = recordStart_;
    end_.disks = u16(header_, 4) | u16(header_, 6);
    end_.entriesHere = u16(header_, 8);
    end_.entries = u16(header_, 10);
    end_.directorySize = u32(header_, 12);
    end_.directoryOffset = u32(header_, 16);
    state_ = State::Done;
    header_.clear();
}

// The whole-file reading takes the last end record signature in the file's
// last 64 KiB for the end record (one at the file's first byte counts as
// none), and the ZIP64 records that a locator found there point to instead.
// Only when that is the record read here, and its values leave nothing to
// interpret (one disk, the count twice, the directory's offset and size where
// its records lay), do both readings see the same directory.
bool StreamingUnpack::endRecordAgrees() const {
    // The bytes the whole-file reading searches: no signature before them counts.
    const std::string_view searched = std::string_view(tail_).substr(
        tail_.size() - std::min<std::size_t>(tail_.size(), kEndSearch));
    const std::uint64_t searchedFrom = received_ - searched.size();
    const std::size_t lastEnd = searched.rfind(kEndSignatureBytes);
    if (lastEnd == std::string_view::npos || searchedFrom + lastEnd != end_.offset ||
        end_.offset == 0)
        return false;
    if (searched.find(kZip64LocatorBytes) != std::string_view::npos) return false;
    const std::uint64_t directory = records_.empty() ? end_.offset : directoryOffset_;
    return end_.disks == 0 && end_.entriesHere == end_.entries && end_.entries != 0xffff &&
           end_.entries == records_.size() && end_.directoryOffset == directory &&
           end_.directorySize == end_.offset - directory;
}

bool StreamingUnpack::matchesDirectory() const {
    if (state_ != State::Done || records_.size() != entries_.size() || !endRecordAgrees())
        return false;
    constexpr std::uint16_t kNameFlags = kEncryptedFlag | kUtf8NameFlag;
    for (std::size_t i = 0; i < records_.size(); ++i) {
        const ArchiveRecord& record = records_[i];
        const LocalEntry& entry = entries_[i];
        if (record.localHeaderOffset != entry.offset || record.rawName != entry.rawName ||
            (record.flags & kNameFlags) != (entry.flags & kNameFlags) ||
            record.method != entry.method || record.crc != entry.crc ||
            record.compressedSize != entry.compressedSize || record.size != entry.size)
            return false;
    }
    return true;
}

bool StreamingUnpack::sync() const {
    return dataFd_ && ::syncfs(dataFd_.get()) == 0;
}

std::optional<UnpackedArchive> StreamingUnpack::place(const std::filesystem::path& baseDir,
                                                      std::string* why) const {
    std::vector<StreamedData> data;
    data.reserve(entries_.size());
    for (const LocalEntry& entry : entries_) data.push_back(entry.data);
    return PlaceStreamedEntries(records_, data, dataDir_, baseDir, limit_, why);
}

}  // namespace gd
