#include "update/update_script.h"

#include "script/encrypted_script.h"
#include "script/version_manifest.h"
#include "support/temp_dir.h"
#include "update/patch.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;
using gdtest::readFile;
using gdtest::writeFile;

// An installation directory and an unpacked archive whose script lies in a
// subdirectory, as the update worker sees them.
class UpdateScriptTest : public ::testing::Test {
  protected:
    void SetUp() override {
        fs::create_directories(installPath());
        fs::create_directories(patchPath());
    }

    fs::path installPath() const { return temp_.path() / "install"; }
    fs::path patchPath() const { return temp_.path() / "run" / "Patch"; }
    std::string installDir() const { return installPath().string() + "/"; }
    std::string patchDir() const { return patchPath().string() + "/"; }

    bool run(std::string_view script) {
        gdtest::writeEncrypted(patchPath() / "update.dat", script);
        return gd::RunUpdateScript(patchPath() / "update.dat", installDir(), manifest_, queue_);
    }

    // Carries the queue out the way the update worker does.
    std::vector<int> executeAll() {
        std::vector<int> results;
        for (std::size_t i = 0; i < queue_.size(); ++i) results.push_back(queue_.at(i).Execute());
        return results;
    }

    gdtest::TempDir temp_;
    gd::VersionManifest manifest_;
    gd::PatchQueue queue_;
};

TEST_F(UpdateScriptTest, MkdirThenCopyInstallsIntoTheNewDirectory) {
    writeFile(patchPath() / "new.bin", "payload");
    ASSERT_TRUE(run(R"(function updater()
        update.mkdir("data")
        update.copy("new.bin", "data\\new.bin")
    end)"));

    ASSERT_EQ(queue_.size(), 2u);
    EXPECT_EQ(queue_.at(0).opKind, 2);
    EXPECT_EQ(queue_.at(0).Describe(), "");
    const auto& copy = dynamic_cast<const gd::CPatchCopy&>(queue_.at(1));
    EXPECT_EQ(copy.opKind, 1);
    EXPECT_EQ(copy.Describe(), "ファイルをコピー中");
    EXPECT_EQ(copy.source(), patchDir() + "new.bin");
    EXPECT_EQ(copy.target(), installDir() + "data/new.bin");

    EXPECT_EQ(executeAll(), (std::vector<int>{1, 1}));
    EXPECT_EQ(readFile(installPath() / "data" / "new.bin"), "payload");
}

TEST_F(UpdateScriptTest, CopyBeforeItsDirectoryFailsAndTheQueueGoesOn) {
    writeFile(patchPath() / "new.bin", "payload");
    ASSERT_TRUE(run(R"(function updater()
        update.copy("new.bin", "data\\new.bin")
        update.mkdir("data")
    end)"));

    EXPECT_EQ(executeAll(), (std::vector<int>{0, 1}));
    EXPECT_TRUE(fs::is_directory(installPath() / "data"));
    EXPECT_FALSE(fs::exists(installPath() / "data" / "new.bin"));
}

TEST_F(UpdateScriptTest, ExistingDirectoryAndFileAreHandledInPlace) {
    fs::create_directories(installPath() / "bin");
    writeFile(installPath() / "bin" / "keep.txt", "kept");
    writeFile(installPath() / "bin" / "tool", "old");
    writeFile(patchPath() / "tool", "new");
    ::chmod((patchPath() / "tool").c_str(), 0755);
    ASSERT_TRUE(run(R"(function updater()
        update.mkdir("bin")
        update.copy("tool", "bin/tool")
    end)"));

    EXPECT_EQ(executeAll(), (std::vector<int>{1, 1}));
    EXPECT_EQ(readFile(installPath() / "bin" / "keep.txt"), "kept");
    EXPECT_EQ(readFile(installPath() / "bin" / "tool"), "new");
    struct stat info {};
    ASSERT_EQ(::stat((installPath() / "bin" / "tool").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0755u);
}

TEST_F(UpdateScriptTest, DeleteTakesNumbersAndSkipsMissingFiles) {
    writeFile(installPath() / "5", "five");
    ASSERT_TRUE(run(R"(function updater()
        update.delete(5)
        update.delete("missing.txt")
    end)"));

    ASSERT_EQ(queue_.size(), 2u);
    EXPECT_EQ(dynamic_cast<const gd::CPatchDelete&>(queue_.at(0)).fullPath(), installDir() + "5");
    EXPECT_EQ(executeAll(), (std::vector<int>{1, 0}));
    EXPECT_FALSE(fs::exists(installPath() / "5"));
}

// xpcall(f, debug.traceback) is common in published scripts: update.dat gets
// traceback and getinfo, and nothing of debug that could reach the time
// limit's hook, the registry, locals, upvalues or metatables.
TEST_F(UpdateScriptTest, DebugOffersTracebackAndGetinfoOnly) {
    const std::pair<const char*, const char*> rows[] = {
        {"select(2, xpcall(function() error('boom') end, debug.traceback))"
         ":find('boom\\nstack traceback:') ~= nil",
         "true"},
        {"debug.getinfo(1, 'S').what", "Lua"},
        {"require('debug') == debug", "true"},
        {"debug.sethook", "nil"},
        {"debug.gethook", "nil"},
        {"debug.getregistry", "nil"},
        {"debug.getlocal", "nil"},
        {"debug.setupvalue", "nil"},
        {"debug.setmetatable", "nil"},
        {"debug.debug", "nil"},
    };
    for (const auto& [expression, value] : rows) {
        queue_.clear();
        ASSERT_TRUE(
            run("function updater() update.mkdir(tostring(" + std::string(expression) + ")) end"))
            << expression;
        ASSERT_EQ(queue_.size(), 1u);
        EXPECT_EQ(dynamic_cast<const gd::CPatchMkdir&>(queue_.at(0)).fullPath(),
                  installDir() + value)
            << expression;
    }
}

// A chunk that never returns is stopped at the limit, and updater still runs.
TEST_F(UpdateScriptTest, AChunkThatNeverReturnsStillHasItsUpdaterRun) {
    gdtest::writeEncrypted(patchPath() / "update.dat",
                           "function updater() update.mkdir('made') end while true do end");
    ASSERT_TRUE(gd::RunUpdateScript(patchPath() / "update.dat", installDir(), manifest_, queue_,
                                    nullptr, std::chrono::milliseconds(300)));
    EXPECT_EQ(queue_.size(), 1u);
}

TEST_F(UpdateScriptTest, DiffcopyQueuesNothing) {
    ASSERT_TRUE(run(R"(function updater()
        update.diffcopy()
        update.diffcopy("a", "b", {}, nil, true)
        update.mkdir("x")
    end)"));
    ASSERT_EQ(queue_.size(), 1u);
    EXPECT_EQ(queue_.at(0).opKind, 2);
}

TEST_F(UpdateScriptTest, LauncherUpdateTwiceRecordsOneReplacement) {
    ASSERT_TRUE(run(R"(function updater()
        update.launcherupdate()
        update.launcherupdate()
    end)"));

    ASSERT_EQ(queue_.size(), 2u);
    for (std::size_t i = 0; i < 2; ++i) {
        const auto& copy = dynamic_cast<const gd::CPatchLuncherCopy&>(queue_.at(i));
        EXPECT_EQ(copy.source(), patchDir() + "GrooveDeck");
        EXPECT_EQ(copy.target(), installDir() + "GrooveDeck");
        EXPECT_EQ(copy.Describe(), "ファイルをコピー中");
    }
    EXPECT_FALSE(manifest_.launcherUpdatePending()) << "queuing alone changes nothing";
    EXPECT_EQ(executeAll(), (std::vector<int>{1, 1}));
    EXPECT_TRUE(manifest_.launcherUpdatePending());
    EXPECT_EQ(manifest_.launcherCopySource(), patchDir() + "GrooveDeck");
    EXPECT_EQ(manifest_.launcherCopyTarget(), installDir() + "GrooveDeck");
}

TEST_F(UpdateScriptTest, OnlyCallsMadeByUpdaterCount) {
    ASSERT_TRUE(run(R"(
        update.copy("a", "b")
        update.mkdir("top")
        function updater() end
    )"));
    EXPECT_TRUE(queue_.empty());
}

TEST_F(UpdateScriptTest, TheResultOfUpdaterDoesNotMatter) {
    for (const char* result : {"", "'done'", "7", "{}", "nil, 1"}) {
        queue_.clear();
        ASSERT_TRUE(
            run(std::string("function updater() update.mkdir('x') return ") + result + " end"))
            << result;
        EXPECT_EQ(queue_.size(), 1u) << result;
    }
}

TEST_F(UpdateScriptTest, Cp932PathsAreConvertedWhole) {
    // "表" is 0x95 0x5C in CP932: its second byte must not split the path.
    writeFile(patchPath() / "a.txt", "a");
    ASSERT_TRUE(run(R"(function updater()
        update.mkdir("\149\092")
        update.copy("a.txt", "\149\092\\a.txt")
    end)"));
    EXPECT_EQ(executeAll(), (std::vector<int>{1, 1}));
    EXPECT_EQ(readFile(installPath() / "表" / "a.txt"), "a");
}

TEST_F(UpdateScriptTest, MissingAndOversizedScriptsFail) {
    EXPECT_FALSE(gd::RunUpdateScript(patchPath() / "none.dat", installDir(), manifest_, queue_));

    const std::string head = "function updater() update.mkdir('x') end\n--";
    std::string script = head + std::string(gd::kUpdateScriptLimit - head.size(), 'x');
    EXPECT_TRUE(run(script)) << "exactly at the limit";
    queue_.clear();
    EXPECT_FALSE(run(script + "x"));
    EXPECT_TRUE(queue_.empty());
}

TEST_F(UpdateScriptTest, EachRunHasItsOwnQueue) {
    EXPECT_FALSE(run("function updater() update.mkdir('a') update.mkdir('b') error('x') end"));
    ASSERT_TRUE(run("function updater() update.mkdir('c') end"));
    ASSERT_EQ(queue_.size(), 1u);
    EXPECT_EQ(dynamic_cast<const gd::CPatchMkdir&>(queue_.at(0)).fullPath(), installDir() + "c");

    // Two runs at once never see each other's operations.
    const std::string script = "function updater() for i = 1, 2000 do update.mkdir(DIR) end end";
    auto runIn = [&](const std::string& name, gd::PatchQueue& out, bool& ok) {
        const fs::path dir = temp_.path() / name;
        fs::create_directories(dir);
        gdtest::writeEncrypted(dir / "update.dat", "DIR = '" + name + "'\n" + script);
        gd::VersionManifest manifest;
        ok = gd::RunUpdateScript(dir / "update.dat", installDir(), manifest, out);
    };
    gd::PatchQueue first, second;
    bool firstOk = false, secondOk = false;
    std::thread one(runIn, "one", std::ref(first), std::ref(firstOk));
    std::thread two(runIn, "two", std::ref(second), std::ref(secondOk));
    one.join();
    two.join();
    ASSERT_TRUE(firstOk && secondOk);
    ASSERT_EQ(first.size(), 2000u);
    ASSERT_EQ(second.size(), 2000u);
    for (std::size_t i = 0; i < 2000; ++i) {
        ASSERT_EQ(dynamic_cast<const gd::CPatchMkdir&>(first.at(i)).fullPath(),
                  installDir() + "one");
        ASSERT_EQ(dynamic_cast<const gd::CPatchMkdir&>(second.at(i)).fullPath(),
                  installDir() + "two");
    }
}

struct FailingScript {
    const char* name;
    const char* script;
    std::chrono::milliseconds limit = gd::kUpdateScriptTimeLimit;
};

void PrintTo(const FailingScript& failing, std::ostream* out) {
    *out << failing.name;
}

class FailingScriptTest : public UpdateScriptTest,
                          public ::testing::WithParamInterface<FailingScript> {};

// Every failing script queues something first: none of it may reach the
// caller, whose queue keeps exactly what it held.
TEST_P(FailingScriptTest, FailsWithTheCallersQueueUntouched) {
    writeFile(temp_.path() / "x", "outside");
    queue_.append(std::make_unique<gd::CPatch>());

    gdtest::writeEncrypted(patchPath() / "update.dat", GetParam().script);
    EXPECT_FALSE(gd::RunUpdateScript(patchPath() / "update.dat", installDir(), manifest_, queue_,
                                     nullptr, GetParam().limit));

    EXPECT_EQ(queue_.size(), 1u);
    EXPECT_EQ(queue_.at(0).opKind, 0);
    EXPECT_TRUE(fs::is_empty(installPath()));
    EXPECT_EQ(readFile(temp_.path() / "x"), "outside");
}

#define UPDATER(body) "function updater() update.mkdir('made') " body " end"

INSTANTIATE_TEST_SUITE_P(
    Scripts, FailingScriptTest,
    ::testing::Values(
        FailingScript{"ErrorAfterQueuing", UPDATER("update.mkdir('more') error('broken')")},
        FailingScript{"NoUpdater", "update.mkdir('made')"},
        FailingScript{"UpdaterNotAFunction", "updater = 5"},
        FailingScript{"SyntaxError", UPDATER("if")},
        FailingScript{"GlobalsThatRaise",
                      "update.mkdir('made') setmetatable(_G, {__index = error})"},
        FailingScript{"OutOfMemory", UPDATER("local s, t = string.rep('x', 2^20), {} "
                                             "while true do t[#t + 1] = s .. #t end")},
        FailingScript{"QueuedPathsOutgrowTheMemoryLimit",
                      UPDATER("local s = string.rep('a', 2^23) "
                              "for i = 1, 1000 do update.delete(s) end")},
        FailingScript{"BackslashClimb", UPDATER("update.delete('..\\\\..\\\\x')")},
        FailingScript{"SlashClimb", UPDATER("update.mkdir('a/../../x')")},
        FailingScript{"DriveAfterASeparator", UPDATER("update.delete('\\\\C:\\\\x')")},
        FailingScript{"DriveLetter", UPDATER("update.copy('new.bin', 'C:\\\\x')")},
        FailingScript{"SourceClimb", UPDATER("update.copy('../../x', 'x')")},
        FailingScript{"NilArgument", UPDATER("update.delete(nil)")},
        FailingScript{"TableArgument", UPDATER("update.mkdir({})")},
        FailingScript{"BooleanArgument", UPDATER("update.copy('a', true)")},
        FailingScript{"MissingArgument", UPDATER("update.copy('a')")},
        FailingScript{"NeverReturns", UPDATER("while true do end"), std::chrono::milliseconds(300)},
        FailingScript{"BacktrackingPattern", UPDATER("local _ = ('a'):rep(2000):find('.-.-.-.-b')"),
                      std::chrono::milliseconds(300)}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
