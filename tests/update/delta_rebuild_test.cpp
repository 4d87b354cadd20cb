// Delta packs made by gdtool's writer and rebuilt by the engine against an
// installation; zstd's own --patch-from as the independent maker of a frame.

#include "update/delta_rebuild.h"
#include "publish/delta_pack_writer.h"
#include "robustness/update_site.h"
#include "support/temp_dir.h"
#include "update/delta_pack.h"
#include "util/varint.h"

#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <lzma.h>

#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using gdtest::randomBytes;
using gdtest::readFile;
using gdtest::writeFile;

// Machine code as a new build changes it: the same bytes with an offset
// every few hundred bytes moved by a constant, and a block inserted.
std::string rebuiltCode(const std::string& code) {
    std::string changed = code;
    for (std::size_t i = 100; i + 4 < changed.size(); i += 300) changed[i] += 7;
    changed.insert(changed.size() / 2, randomBytes(5000, 99));
    return changed;
}

std::string text(int lines, int variant) {
    std::string out;
    for (int i = 0; i < lines; ++i)
        out += "line " + std::to_string(i) + (i % 97 == 0 ? " v" + std::to_string(variant) : "") +
               " of the motion table\n";
    return out;
}

class DeltaRebuildTest : public ::testing::Test {
  protected:
    DeltaRebuildTest() {
        fs::create_directories(install_);
        fs::create_directories(older_);
        fs::create_directories(newer_);
        fs::create_directories(unpacked_);
    }

    // path -> (old content or none, new content)
    void add(const std::string& path, const std::string* before, const std::string& after,
             mode_t mode = 0644) {
        for (const fs::path& root : {older_, install_, newer_})
            fs::create_directories((root / path).parent_path());
        if (before != nullptr) {
            writeFile(older_ / path, *before);
            writeFile(install_ / path, *before);
        }
        writeFile(newer_ / path, after);
        sources_.push_back({"files/" + path, newer_ / path, before ? path : "",
                            before ? older_ / path : fs::path(), mode});
        wanted_["files/" + path] = after;
    }

    gd::Rebuilt rebuild() {
        std::string error;
        EXPECT_TRUE(gd::publish::writeDeltaPack(sources_, pack(), error)) << error;
        return gd::rebuildFromDeltas(pack(), unpacked_, install_.string() + "/", 1ull << 32);
    }

    void expectRebuilt() {
        for (const auto& [path, bytes] : wanted_)
            EXPECT_EQ(readFile(unpacked_ / path), bytes) << path;
        EXPECT_FALSE(fs::exists(pack()));
    }

    fs::path pack() const { return unpacked_ / "delta.pack"; }

    gdtest::TempDir root_;
    fs::path install_ = root_.path() / "install", older_ = root_.path() / "old",
             newer_ = root_.path() / "new", unpacked_ = root_.path() / "unpacked";
    std::vector<gd::publish::DeltaSource> sources_;
    std::map<std::string, std::string> wanted_;
};

TEST_F(DeltaRebuildTest, RebuildsEveryKindOfChangeFromTheInstalledFiles) {
    const std::string code =
        "\x7f"
        "ELF" +
        randomBytes(300 * 1024, 1);
    const std::string table = text(2000, 1), small = text(20, 1), empty;
    add("bin/editor", &code, rebuiltCode(code), 0755);
    add("data/table.txt", &table, text(2000, 2));
    add("data/small.txt", &small, text(21, 2));
    add("data/new.bin", nullptr, randomBytes(70000, 3));
    add("data/emptied.txt", &table, empty);
    add("data/was empty.txt", &empty, "now something\n");
    add("data/same bytes, new bits.sh", &small, small, 0700);
    // Bases are read while the rebuild runs, a few MiB at a time: its first
    // bytes come from the end of this one.
    const std::string large = randomBytes(9 << 20, 5);
    add("data/large.pak", &large, large.substr(large.size() - 4096) + large);
    const gd::Rebuilt rebuilt = rebuild();
    ASSERT_TRUE(rebuilt.done) << rebuilt.failure;
    expectRebuilt();
    struct stat info {};
    ASSERT_EQ(::stat((unpacked_ / "files/bin/editor").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0100, 0100u);
}

// Bases under a mebibyte together are read into one buffer, one after the
// other; the new texts draw on all of them.
TEST_F(DeltaRebuildTest, SmallFilesRebuildFromTheirBasesTogether) {
    const std::string first = text(3000, 1), second = text(200, 3), third = text(900, 5);
    add("data/first.txt", &first, text(3000, 2));
    add("data/second.txt", &second, second + first.substr(0, 5000));
    add("data/third.txt", &third, text(900, 6) + second);
    const gd::Rebuilt rebuilt = rebuild();
    ASSERT_TRUE(rebuilt.done) << rebuilt.failure;
    expectRebuilt();
}

TEST_F(DeltaRebuildTest, AnInstalledFileThatIsNotTheBaseFailsTheRebuild) {
    const std::string code =
        "\x7f"
        "ELF" +
        randomBytes(64 * 1024, 4);
    const std::string table = text(500, 1);
    const struct {
        const char* name;
        std::function<void(const fs::path&)> spoil;  // the installed file
        const char* failure;
    } cases[] = {
        {"changed in place",
         [](const fs::path& f) { writeFile(f, std::string(readFile(f)).replace(9, 1, "#")); },
         "is not the file the delta was made against"},
        {"another size", [](const fs::path& f) { writeFile(f, readFile(f) + "x"); },
         "is not the file the delta was made against"},
        {"missing", [](const fs::path& f) { fs::remove(f); }, "is missing or not a file"},
        {"a link to the right bytes",
         [this](const fs::path& f) {
             fs::rename(f, root_.path() / "elsewhere");
             fs::create_symlink(root_.path() / "elsewhere", f);
         },
         "is missing or not a file"},
        // Opening one would wait for a writer for ever.
        {"a FIFO",
         [](const fs::path& f) {
             fs::remove(f);
             ASSERT_EQ(::mkfifo(f.c_str(), 0644), 0);
         },
         "is missing or not a file"},
    };
    add("bin/editor", &code, rebuiltCode(code), 0755);
    // Megabytes after the editor in its group: their making meets the
    // refusal of the editor's bytes and stops there.
    const std::string after =
        "\x7f"
        "ELF" +
        randomBytes(3 << 20, 6);
    add("bin/tools.so", &after, rebuiltCode(after), 0755);
    add("data/table.txt", &table, text(500, 2));
    for (const char* spoiled : {"bin/editor", "data/table.txt"}) {
        for (const auto& c : cases) {
            SCOPED_TRACE(std::string(spoiled) + ": " + c.name);
            fs::remove_all(unpacked_);
            fs::create_directories(unpacked_);
            fs::remove_all(install_);
            fs::copy(older_, install_, fs::copy_options::recursive);
            c.spoil(install_ / spoiled);
            const gd::Rebuilt rebuilt = rebuild();
            EXPECT_FALSE(rebuilt.done);
            EXPECT_NE(rebuilt.failure.find(spoiled), std::string::npos) << rebuilt.failure;
            EXPECT_NE(rebuilt.failure.find(c.failure), std::string::npos) << rebuilt.failure;
        }
    }
}

// A raw LZMA2 stream of `bytes`, as a Diff group holds its streams.
std::string lzmaRaw(const std::string& bytes, gd::DiffStream& stream) {
    lzma_options_lzma options{};
    lzma_lzma_preset(&options, 0);
    options.dict_size = 4096;
    const lzma_filter filters[] = {{LZMA_FILTER_LZMA2, &options}, {LZMA_VLI_UNKNOWN, nullptr}};
    lzma_stream coder = LZMA_STREAM_INIT;
    std::string out(bytes.size() / 16 + 65536, '\0');
    EXPECT_EQ(lzma_raw_encoder(&coder, filters), LZMA_OK);
    coder.next_in = reinterpret_cast<const std::uint8_t*>(bytes.data());
    coder.avail_in = bytes.size();
    coder.next_out = reinterpret_cast<std::uint8_t*>(out.data());
    coder.avail_out = out.size();
    EXPECT_EQ(lzma_code(&coder, LZMA_FINISH), LZMA_STREAM_END);
    out.resize(coder.total_out);
    lzma_end(&coder);
    stream = {out.size(), bytes.size(), 4096};
    return out;
}

// What the rebuild says (into `said`), run in a child whose address space is
// the test's and `room` more: a pack that makes it map or grow past that fails.
std::string failureWithin(std::uint64_t room, const std::function<gd::Rebuilt()>& rebuild,
                          const fs::path& said) {
    if (const pid_t child = ::fork(); child == 0) {
        std::uint64_t pages = 0;
        std::ifstream("/proc/self/statm") >> pages;
        const rlim_t limit = pages * ::sysconf(_SC_PAGESIZE) + room;
        const struct rlimit space { limit, limit };
        std::string text = "threw";
        try {
            if (::setrlimit(RLIMIT_AS, &space) == 0) text = rebuild().failure;
        } catch (...) {
        }
        writeFile(said, text);
        ::_exit(0);
    } else {
        ::waitpid(child, nullptr, 0);
    }
    return readFile(said);
}

// The pack's word alone never sizes the memory: a base's declared size is
// held against the installed file before memory is made for it, and the
// control records against the output before they are decoded.
TEST_F(DeltaRebuildTest, APackCannotMakeTheRebuildTakeMoreMemoryThanItsFiles) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the sanitizer's own mappings need more address space than the limit";
#endif
    writeFile(install_ / "small.bin", "ten bytes!");
    const auto diffPack = [](std::uint64_t baseSize, const std::string& control) {
        gd::DeltaGroup group;
        const std::string packed = lzmaRaw(control, group.control);
        const std::string added = lzmaRaw("", group.added), fresh = lzmaRaw("12345", group.fresh);
        group.length = packed.size() + added.size() + fresh.size();
        gd::DeltaPack deltas;
        deltas.groups.push_back(group);
        deltas.files.push_back({0, "out.bin", baseSize > 0 ? "small.bin" : "", baseSize, 5, 0644,
                                gd::digestOf(*gd::hashContent("12345"))});
        return gd::deltaPackHeader(deltas) + packed + added + fresh;
    };
    const struct {
        const char* name;
        std::string pack;
        const char* failure;
    } cases[] = {
        {"a base declared at 3 GiB", diffPack(3ull << 30, std::string(3, '\0')),
         "the installed small.bin is not the file the delta was made against"},
        {"48 MiB of records that make nothing", diffPack(0, std::string(48u << 20, '\0')),
         "delta.pack cannot be read"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        writeFile(pack(), c.pack);
        const auto rebuild = [&] {
            return gd::rebuildFromDeltas(pack(), unpacked_, install_.string() + "/", 1ull << 32);
        };
        EXPECT_EQ(failureWithin(256u << 20, rebuild, root_.path() / "said"), c.failure);
    }
}

// A frame from the zstd tool itself, with its size and checksum, rebuilds the
// file, small or megabytes from a few kilobytes of frame (decoded a slice at a
// time for its writer thread).
TEST_F(DeltaRebuildTest, AFrameFromZstdPatchFromRebuildsTheFile) {
    for (const int lines : {3000, 90000}) {
        SCOPED_TRACE(lines);
        fs::remove_all(unpacked_);
        fs::create_directories(unpacked_);
        const std::string before = text(lines, 1), after = text(lines, 2);
        writeFile(install_ / "motion.txt", before);
        writeFile(older_ / "motion.txt", before);
        writeFile(newer_ / "motion.txt", after);
        const fs::path frame = root_.path() / "frame.zst";
        ASSERT_EQ(gdtest::runShell("zstd -q -f -19 --long=27 --patch-from=" +
                                   gdtest::shellQuoted(older_ / "motion.txt") + " " +
                                   gdtest::shellQuoted(newer_ / "motion.txt") + " -o " +
                                   gdtest::shellQuoted(frame) + " 2>/dev/null"),
                  0);
        // A pack's frames go without zstd's magic number.
        const std::string payload = readFile(frame).substr(4);
        gd::DeltaPack deltas;
        deltas.groups.push_back({gd::DeltaMethod::Prefix, payload.size(), {}, {}, {}, 0});
        deltas.files.push_back({0, "motion.txt", "motion.txt", before.size(), after.size(), 0644,
                                gd::digestOf(*gd::hashContent(after))});
        writeFile(pack(), gd::deltaPackHeader(deltas) + payload);
        const gd::Rebuilt rebuilt =
            gd::rebuildFromDeltas(pack(), unpacked_, install_.string() + "/", 1ull << 32);
        ASSERT_TRUE(rebuilt.done) << rebuilt.failure;
        EXPECT_EQ(readFile(unpacked_ / "motion.txt"), after);

        // The same pack cut short, or with a byte of its frame changed, is refused.
        for (const std::size_t cut : {std::size_t{3}, payload.size() / 2, std::size_t{1}}) {
            fs::remove_all(unpacked_);
            fs::create_directories(unpacked_);
            std::string damaged = gd::deltaPackHeader(deltas) + payload;
            if (cut == 1) {
                damaged[damaged.size() - 10] ^= 0x55;
            } else {
                damaged.resize(damaged.size() - cut);
            }
            writeFile(pack(), damaged);
            EXPECT_FALSE(
                gd::rebuildFromDeltas(pack(), unpacked_, install_.string() + "/", 1ull << 32).done);
        }
    }
}

}  // namespace

namespace {

// A stream as the zstd tool frames it, without the magic number a pack
// leaves out; `window` is what the pack declares for it.
std::string zstdToolFrame(const fs::path& dir, const std::string& bytes, gd::DiffStream& stream,
                          std::uint32_t window = 1u << 20) {
    writeFile(dir / "stream", bytes);
    EXPECT_EQ(gdtest::runShell("zstd -q -f -19 " + gdtest::shellQuoted(dir / "stream") + " -o " +
                               gdtest::shellQuoted(dir / "stream.zst")),
              0);
    const std::string frame = readFile(dir / "stream.zst").substr(4);
    stream = {frame.size(), bytes.size(), window};
    return frame;
}

}  // namespace

// Both codecs of a binary diff's streams rebuild the file: LZMA2 (the packs
// already on servers) and zstd (the zstd tool's frames), and a zstd stream
// that is cut, runs on, or needs more window than declared is refused,
// whether it is small enough to be decoded whole or decoded in pieces.
TEST_F(DeltaRebuildTest, ADiffOfEitherCodecRebuildsTheFile) {
    for (const std::size_t size : {600 * 1024, 1600 * 1024}) {
        SCOPED_TRACE(size);
        const std::string before = randomBytes(size, 5);
        std::string after = before;
        for (std::size_t i = 100; i < after.size(); i += 300) after[i] += 7;
        const std::string tail = randomBytes(3000, 6);
        // A record a byte: the records run across the pieces that the control
        // stream is decoded in.
        std::string control, added(after.size(), '\0');
        for (std::size_t i = 0; i + 1 < before.size(); ++i)
            control += std::string("\x01\x00\x00", 3);
        gd::appendVarint(control, 1);
        gd::appendVarint(control, tail.size());
        gd::appendSignedVarint(control, 0);
        for (std::size_t i = 0; i < added.size(); ++i)
            added[i] = static_cast<char>(after[i] - before[i]);
        after += tail;
        writeFile(install_ / "editor.bin", before);
        const struct {
            const char* name;
            gd::DeltaMethod method;
            std::function<void(std::string& added, gd::DiffStream& stream)> spoil;
            bool rebuilt;
        } cases[] = {
            {"LZMA2 streams", gd::DeltaMethod::Diff, nullptr, true},
            {"zstd frames", gd::DeltaMethod::ZstdDiff, nullptr, true},
            {"a zstd frame cut short", gd::DeltaMethod::ZstdDiff,
             [](std::string& a, gd::DiffStream& s) { a.resize(--s.packed); }, false},
            {"bytes after a zstd frame's end", gd::DeltaMethod::ZstdDiff,
             [](std::string& a, gd::DiffStream& s) { a += "x", ++s.packed; }, false},
            {"a zstd frame past its declared window", gd::DeltaMethod::ZstdDiff,
             [](std::string&, gd::DiffStream& s) { s.dictionary = 4096; }, false},
        };
        for (const auto& c : cases) {
            SCOPED_TRACE(c.name);
            fs::remove_all(unpacked_);
            fs::create_directories(unpacked_);
            gd::DeltaGroup group;
            group.method = c.method;
            const bool lzma = c.method == gd::DeltaMethod::Diff;
            std::string packed[3];
            gd::DiffStream* streams[3] = {&group.control, &group.added, &group.fresh};
            const std::string* bytes[3] = {&control, &added, &tail};
            for (int i = 0; i < 3; ++i)
                packed[i] = lzma ? lzmaRaw(*bytes[i], *streams[i])
                                 : zstdToolFrame(root_.path(), *bytes[i], *streams[i], 8u << 20);
            if (c.spoil) c.spoil(packed[1], group.added);
            group.length = packed[0].size() + packed[1].size() + packed[2].size();
            gd::DeltaPack deltas;
            deltas.groups.push_back(group);
            deltas.files.push_back({0, "editor.bin", "editor.bin", before.size(), after.size(),
                                    0755, gd::digestOf(*gd::hashContent(after))});
            EXPECT_EQ(deltas.format(), lzma ? 1u : 2u);
            writeFile(pack(), gd::deltaPackHeader(deltas) + packed[0] + packed[1] + packed[2]);
            const gd::Rebuilt rebuilt =
                gd::rebuildFromDeltas(pack(), unpacked_, install_.string() + "/", 1ull << 32);
            EXPECT_EQ(rebuilt.done, c.rebuilt) << rebuilt.failure;
            EXPECT_EQ(c.rebuilt && readFile(unpacked_ / "editor.bin") == after, c.rebuilt);
        }
    }
}
