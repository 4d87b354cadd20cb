// Archives from real archivers, fed in pieces of several sizes: whatever
// streams must end in the tree that UnpackArchive makes of the same file,
// and what cannot stream must say so.
#include "update/streaming_unpack.h"

#include "fetch/pipelined_sink.h"

#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <random>

namespace fs = std::filesystem;

namespace {

std::map<std::string, std::string> treeOf(const fs::path& root) {
    std::map<std::string, std::string> tree;
    for (const auto& item : fs::recursive_directory_iterator(root)) {
        const std::string name = fs::relative(item.path(), root).string();
        const auto mode = static_cast<unsigned>(item.symlink_status().permissions());
        tree[name] = std::to_string(mode) + ":" +
                     (item.is_regular_file() ? gdtest::readFile(item.path()) : "<dir>");
    }
    return tree;
}

struct Streamed {
    bool wholeFileNeeded = false;  // as the worker takes it: asked for, or not matched
    bool matches = false;
    std::optional<gd::UnpackedArchive> contents;
};

// Through a PipelinedSink, as downloads feed it, when `pipelined`; its files
// are then flushed as they come, as those of a whole archive are.
Streamed stream(const std::string& bytes, const fs::path& work, std::size_t piece,
                bool pipelined = false) {
    Streamed result;
    fs::create_directories(work);
    gd::StreamingUnpack unpack(work / "parts", gd::kArchiveExtractLimit,
                               pipelined ? gd::Durable::Yes : gd::Durable::No);
    std::optional<gd::PipelinedSink> pipeline;
    gd::DownloadSink& sink =
        pipelined ? pipeline.emplace(unpack) : static_cast<gd::DownloadSink&>(unpack);
    for (std::size_t at = 0; at < bytes.size(); at += piece) {
        const std::string_view part = std::string_view(bytes).substr(at, piece);
        if (!sink.accept(part)) break;
    }
    const bool finished = !pipeline || pipeline->finish();
    EXPECT_TRUE(finished || unpack.needsWholeFile());
    result.matches = unpack.matchesDirectory();
    result.wholeFileNeeded = unpack.needsWholeFile() || !result.matches;
    fs::create_directory(work / "out");
    if (result.matches) result.contents = unpack.place(work / "out");
    return result;
}

class StreamingUnpackTest : public ::testing::Test {
  protected:
    StreamingUnpackTest() {
        const fs::path stage = dir_.path() / "stage";
        fs::create_directories(stage / "data" / "sub");
        std::mt19937 random(5);
        std::string noise(300 * 1024, '\0');
        for (char& c : noise) c = static_cast<char>(random());
        gdtest::writeFile(stage / "data" / "noise.bin", noise);
        gdtest::writeFile(stage / "data" / "sub" / "text.txt", std::string(200 * 1024, 'x'));
        gdtest::writeFile(stage / "data" / "empty.txt", "");
        gdtest::writeFile(stage / "update.dat", "script");
    }
    // Runs `command` in the stage folder; the archive it writes is $OUT.
    std::string archive(const std::string& command) {
        const fs::path out = dir_.path() / "archive.zip";
        fs::remove(out);
        const std::string line = "cd '" + (dir_.path() / "stage").string() + "' && OUT='" +
                                 out.string() + "' && " + command;
        EXPECT_EQ(std::system(line.c_str()), 0) << command;
        return gdtest::readFile(out);
    }
    gdtest::TempDir dir_;
};

TEST_F(StreamingUnpackTest, StreamsWhatArchiversWriteOrSaysItCannot) {
    struct Case {
        const char* archiver;
        bool streams;
    };
    const Case cases[] = {
        {"zip -qr \"$OUT\" update.dat data", true},
        {"zip -qr0 \"$OUT\" update.dat data", true},
        {"bsdtar --format zip -cf \"$OUT\" update.dat data", true},
        // Stored with descriptors that repeat the sizes in front.
        {"bsdtar --format zip --options zip:compression=store -cf \"$OUT\" update.dat data", true},
        // Written to a pipe: deflated data with its sizes only after it,
        // stored data with its sizes on both sides.
        {"zip -qr - update.dat data | cat > \"$OUT\"", true},
        {"zip -qr0 - update.dat data | cat > \"$OUT\"", true},
        // A self-extracting archive: something before the first entry.
        {"zip -qr a.zip update.dat data && printf 'stub' | cat - a.zip > \"$OUT\" && "
         "rm a.zip && zip -qA \"$OUT\"",
         false},
        // A ZIP64 locator's signature in the data, 60 KB before the end: the
        // whole-file reading looks there for it (and goes on without it).
        {"{ cat data/noise.bin; printf 'PK\\006\\007'; head -c 60000 /dev/zero; } > late.bin && "
         "zip -qr0 \"$OUT\" update.dat data late.bin && rm late.bin",
         false},
    };
    for (const Case& test : cases) {
        const std::string bytes = archive(test.archiver);
        fs::create_directories(dir_.path() / "oracle");
        const auto expected =
            gd::UnpackArchive(dir_.path() / "archive.zip", dir_.path() / "oracle");
        ASSERT_TRUE(expected) << test.archiver;
        for (const std::size_t piece : {std::size_t{7}, std::size_t{65536}, std::size_t{0}}) {
            // 0: 16 KiB pieces through the pipeline of two threads.
            const fs::path work = dir_.path() / ("work" + std::to_string(piece));
            const Streamed got = stream(bytes, work, piece == 0 ? 16384 : piece, piece == 0);
            EXPECT_EQ(got.matches, test.streams) << test.archiver << " in " << piece;
            EXPECT_EQ(got.wholeFileNeeded, !test.streams) << test.archiver << " in " << piece;
            EXPECT_EQ(got.contents.has_value(), test.streams) << test.archiver << " in " << piece;
            if (got.contents) {
                EXPECT_EQ(got.contents->script, expected->script);
                EXPECT_EQ(got.contents->bytes, expected->bytes);
                EXPECT_EQ(treeOf(work / "out"), treeOf(dir_.path() / "oracle")) << test.archiver;
            }
            fs::remove_all(work);
        }
        fs::remove_all(dir_.path() / "oracle");
    }
}

TEST_F(StreamingUnpackTest, TamperedStoredDataFailsOrFallsBackToTheWholeFile) {
    struct Case {
        const char* what;
        std::size_t offset;    // from the local header of noise.bin
        std::size_t length;    // bytes flipped there, or zeroed when 8
        bool wholeFileNeeded;  // the central directory still serves UnpackArchive
    };
    const Case cases[] = {
        // The directory still matches the headers; UnpackArchive refuses the CRC too.
        {"a byte of the data", 30 + 100, 1, false},
        // Zeros in front of data whose sizes follow it: its end is unknown.
        {"the sizes in front", 18, 8, true},
    };
    const std::string original = archive("zip -qr0 - update.dat data | cat > \"$OUT\"");
    const std::size_t header = original.find("data/noise.bin") - 30;
    for (const Case& test : cases) {
        std::string bytes = original;
        for (std::size_t i = 0; i < test.length; ++i) {
            char& byte = bytes[header + test.offset + i];
            byte = test.length == 8 ? '\0' : static_cast<char>(byte ^ 0x55);
        }
        gdtest::writeFile(dir_.path() / "archive.zip", bytes);
        fs::create_directories(dir_.path() / "oracle");
        EXPECT_EQ(
            gd::UnpackArchive(dir_.path() / "archive.zip", dir_.path() / "oracle").has_value(),
            test.wholeFileNeeded)
            << test.what;
        const Streamed got = stream(bytes, dir_.path() / "work", 4096);
        EXPECT_EQ(got.wholeFileNeeded, test.wholeFileNeeded) << test.what;
        EXPECT_EQ(got.matches, !test.wholeFileNeeded) << test.what;
        EXPECT_FALSE(got.contents) << test.what;
        fs::remove_all(dir_.path() / "work");
        fs::remove_all(dir_.path() / "oracle");
    }
}

}  // namespace
