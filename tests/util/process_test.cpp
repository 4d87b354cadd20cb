#include "util/process.h"

#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <sstream>
#include <string>
#include <thread>

namespace {

namespace fs = std::filesystem;
using gdtest::readFile;
using gdtest::writeFile;
using namespace std::chrono_literals;

void makeExecutable(const fs::path& path, std::string_view content, mode_t mode = 0755) {
    writeFile(path, content);
    ::chmod(path.c_str(), mode);
}

bool waitForFile(const fs::path& path, std::chrono::milliseconds bound = 5s) {
    const auto deadline = std::chrono::steady_clock::now() + bound;
    while (!fs::exists(path)) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

std::string shellQuote(const fs::path& path) {
    return "'" + path.string() + "'";
}

class ProcessTest : public ::testing::Test {
  protected:
    void SetUp() override { oldCwd_ = fs::current_path(); }
    void TearDown() override { fs::current_path(oldCwd_); }

    gdtest::TempDir dir_;
    fs::path oldCwd_;
};

TEST_F(ProcessTest, EditorGetsTheCommandWordAloneTheCallersDirectoryAndNoDescriptors) {
    const fs::path work = dir_.path() / "launcher-cwd";
    fs::create_directory(work);
    fs::current_path(work);
    const fs::path record = dir_.path() / "record";
    ::setenv("GD_EDITOR_RECORD", record.c_str(), 1);
    // A descriptor without close-on-exec, as a library might leave one.
    const int stray = ::open("/dev/null", O_RDONLY);
    ASSERT_GE(stray, 3);

    const auto pid = gd::spawnProcess(GD_EDITOR_RECORDER, {"EXE_STEPTOOL"});
    ::close(stray);
    ASSERT_TRUE(pid);
    EXPECT_EQ(gd::waitForExit(*pid), 0);
    EXPECT_EQ(readFile(record), "argv=EXE_STEPTOOL\ncwd=" + fs::current_path().string() + "\n");
    ::unsetenv("GD_EDITOR_RECORD");
}

TEST_F(ProcessTest, ChildStartsWithDefaultSignals) {
    // The launcher may block or ignore SIGTERM for its own shutdown handling;
    // an editor must still end on it.
    sigset_t term;
    ::sigemptyset(&term);
    ::sigaddset(&term, SIGTERM);
    sigset_t oldMask;
    ::sigprocmask(SIG_BLOCK, &term, &oldMask);
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    struct sigaction oldAction {};
    ::sigaction(SIGTERM, &ignore, &oldAction);

    const auto pid = gd::spawnProcess("/bin/sh", {"sh", "-c", "kill -TERM $$; exit 0"});
    ::sigaction(SIGTERM, &oldAction, nullptr);
    ::sigprocmask(SIG_SETMASK, &oldMask, nullptr);
    ASSERT_TRUE(pid);
    EXPECT_EQ(gd::waitForExit(*pid), 128 + SIGTERM);
}

TEST_F(ProcessTest, UnstartableProgramsGiveNoProcess) {
    const fs::path plain = dir_.path() / "plain";
    makeExecutable(plain, "#!/bin/sh\nexit 0\n", 0644);
    const fs::path garbage = dir_.path() / "garbage";
    makeExecutable(garbage, "not a program");

    EXPECT_FALSE(gd::spawnProcess((dir_.path() / "missing").string(), {"EXE_STEPTOOL"}));
    EXPECT_EQ(errno, ENOENT);
    EXPECT_FALSE(gd::spawnProcess(plain.string(), {"EXE_STEPTOOL"}));
    EXPECT_FALSE(gd::spawnProcess(garbage.string(), {"EXE_STEPTOOL"}));
    EXPECT_FALSE(gd::spawnProcess("/bin/true", {}));
    EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1) << "a failed start left a child behind";
}

void onAlarm(int) {}

TEST_F(ProcessTest, WaitOutlastsInterruptingSignals) {
    struct sigaction alarmAction {};
    alarmAction.sa_handler = onAlarm;  // no SA_RESTART: waitpid sees EINTR
    struct sigaction oldAction {};
    ::sigaction(SIGALRM, &alarmAction, &oldAction);
    itimerval every50ms{{0, 50000}, {0, 50000}};
    ::setitimer(ITIMER_REAL, &every50ms, nullptr);

    const auto start = std::chrono::steady_clock::now();
    const auto pid = gd::spawnProcess("/bin/sh", {"sh", "-c", "sleep 0.3; exit 7"});
    ASSERT_TRUE(pid);
    const auto code = gd::waitForExit(*pid);
    const auto waited = std::chrono::steady_clock::now() - start;

    itimerval off{};
    ::setitimer(ITIMER_REAL, &off, nullptr);
    ::sigaction(SIGALRM, &oldAction, nullptr);
    EXPECT_EQ(code, 7);
    EXPECT_GE(waited, 250ms);
    EXPECT_EQ(gd::waitForExit(*pid), std::nullopt) << "reaped once, then no longer a child";
}

// The detached program copies its /proc stat line, then marks that it ran.
std::string detachedScript(const fs::path& dir) {
    return "sleep 0.3; cat /proc/$$/stat > " + shellQuote(dir / "stat") + "; echo done > " +
           shellQuote(dir / "done");
}

struct ProcStat {
    pid_t ppid = 0;
    pid_t session = 0;
};

ProcStat parseStat(const std::string& line) {
    // "pid (comm) state ppid pgrp session ..."; comm may hold blanks.
    std::istringstream rest(line.substr(line.rfind(')') + 1));
    char state = 0;
    pid_t group = 0;
    ProcStat stat;
    rest >> state >> stat.ppid >> group >> stat.session;
    return stat;
}

TEST_F(ProcessTest, DetachedProgramLeavesNoChildAndRunsInItsOwnSession) {
    ASSERT_TRUE(gd::startDetached("/bin/sh", {"sh", "-c", detachedScript(dir_.path())}));
    errno = 0;
    EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD) << "the detached program or its starter is still our child";

    ASSERT_TRUE(waitForFile(dir_.path() / "done"));
    const ProcStat stat = parseStat(readFile(dir_.path() / "stat"));
    EXPECT_NE(stat.ppid, ::getpid());
    EXPECT_NE(stat.session, ::getsid(0));

    EXPECT_FALSE(gd::startDetached((dir_.path() / "missing").string(), {"missing"}));
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1);
}

TEST_F(ProcessTest, DetachedProgramOutlivesItsStarter) {
    const pid_t starter = ::fork();
    if (starter == 0)
        ::_exit(gd::startDetached("/bin/sh", {"sh", "-c", detachedScript(dir_.path())}) ? 0 : 1);
    EXPECT_EQ(gd::waitForExit(starter), 0);
    EXPECT_FALSE(fs::exists(dir_.path() / "done"));
    EXPECT_TRUE(waitForFile(dir_.path() / "done"));
}

TEST_F(ProcessTest, LaunchableFileMustBeAnExecutableReadableRegularFile) {
    const fs::path tool = dir_.path() / "StepTool";
    makeExecutable(tool, "#!/bin/sh\n");
    EXPECT_TRUE(gd::isLaunchableFile(tool.string()));

    makeExecutable(dir_.path() / "noexec", "#!/bin/sh\n", 0644);
    makeExecutable(dir_.path() / "empty", "");
    const fs::path fifo = dir_.path() / "fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0755), 0);
    for (const char* name : {"missing", "noexec", "empty", "fifo"})
        EXPECT_FALSE(gd::isLaunchableFile((dir_.path() / name).string())) << name;
    EXPECT_FALSE(gd::isLaunchableFile(dir_.path().string())) << "a directory";
    if (::geteuid() != 0) {  // root reads whatever the mode says
        makeExecutable(dir_.path() / "unreadable", "#!/bin/sh\n", 0111);
        EXPECT_FALSE(gd::isLaunchableFile((dir_.path() / "unreadable").string()));
    }
}

}  // namespace
