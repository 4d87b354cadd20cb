#include "install/instance_lock.h"

#include "support/temp_dir.h"
#include "util/process.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>
#include <optional>
#include <string>

namespace {

namespace fs = std::filesystem;

// Exit code of `body` run in a forked copy of this process: the lock is taken
// per process, so "another launcher" has to be another process.
int inOtherProcess(const std::function<bool()>& body) {
    const pid_t pid = ::fork();
    if (pid == 0) ::_exit(body() ? 0 : 1);
    return gd::waitForExit(pid).value_or(-1);
}

bool otherProcessGetsLock() {
    return inOtherProcess([] { return gd::InstanceLock::tryAcquire().has_value(); }) == 0;
}

// Another process that takes the lock and keeps it until it is killed.
class LockHolder {
  public:
    LockHolder() {
        int fds[2];
        if (::pipe(fds) != 0) return;
        pid_ = ::fork();
        if (pid_ == 0) {
            auto lock = gd::InstanceLock::tryAcquire();
            const char state = lock ? 'y' : 'n';
            [[maybe_unused]] auto written = ::write(fds[1], &state, 1);
            for (;;) ::pause();
        }
        ::close(fds[1]);
        char state = 'n';
        holds_ = ::read(fds[0], &state, 1) == 1 && state == 'y';
        ::close(fds[0]);
    }
    ~LockHolder() { kill(); }
    bool holds() const { return holds_; }
    // SIGKILL: the holder gets no chance to clean up, as in a crash.
    void kill() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGKILL);
        gd::waitForExit(pid_);
        pid_ = -1;
    }

  private:
    pid_t pid_ = -1;
    bool holds_ = false;
};

class InstanceLockTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (const char* old = std::getenv("XDG_RUNTIME_DIR")) oldRuntimeDir_ = old;
        ::setenv("XDG_RUNTIME_DIR", runtime_.path().c_str(), 1);
    }
    void TearDown() override {
        if (oldRuntimeDir_)
            ::setenv("XDG_RUNTIME_DIR", oldRuntimeDir_->c_str(), 1);
        else
            ::unsetenv("XDG_RUNTIME_DIR");
    }

    gdtest::TempDir runtime_;
    std::optional<std::string> oldRuntimeDir_;
};

TEST_F(InstanceLockTest, SecondProcessIsRefusedUntilTheFirstEnds) {
    EXPECT_EQ(gd::InstanceLock::lockFilePath(), runtime_.path() / "GrooveDeckLancher");
    {
        auto lock = gd::InstanceLock::tryAcquire();
        ASSERT_TRUE(lock);
        EXPECT_FALSE(otherProcessGetsLock());
        EXPECT_TRUE(fs::exists(runtime_.path() / "GrooveDeckLancher"));
    }
    EXPECT_TRUE(otherProcessGetsLock());

    LockHolder holder;
    ASSERT_TRUE(holder.holds());
    EXPECT_FALSE(gd::InstanceLock::tryAcquire());
    holder.kill();
    EXPECT_TRUE(gd::InstanceLock::tryAcquire());
}

TEST_F(InstanceLockTest, ProgramsStartedByTheHolderDoNotKeepTheLock) {
    auto lock = gd::InstanceLock::tryAcquire();
    ASSERT_TRUE(lock);
    // A plain fork and exec, without the descriptor cleanup of spawnProcess,
    // so only the lock's own close-on-exec flag keeps it from the child.
    const pid_t child = ::fork();
    if (child == 0) {
        ::execl("/bin/sleep", "sleep", "30", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::usleep(100 * 1000);  // let the exec happen
    lock.reset();
    EXPECT_TRUE(otherProcessGetsLock());
    ::kill(child, SIGKILL);
    gd::waitForExit(child);
}

// Sets an environment variable for the life of the object.
class ScopedEnv {
  public:
    ScopedEnv(const char* name, const std::string& value) : name_(name) {
        if (const char* old = std::getenv(name)) old_ = old;
        ::setenv(name, value.c_str(), 1);
    }
    ~ScopedEnv() {
        if (old_)
            ::setenv(name_, old_->c_str(), 1);
        else
            ::unsetenv(name_);
    }

  private:
    const char* name_;
    std::optional<std::string> old_;
};

// Without a private runtime directory the lock lives under the home
// directory, never under a guessable name in the shared temporary directory.
TEST_F(InstanceLockTest, RuntimeDirectoryOthersCanWriteIsNotTrusted) {
    ASSERT_FALSE(fs::exists("/run/user/" + std::to_string(::geteuid())));
    const fs::path shared = runtime_.path() / "shared";
    fs::create_directory(shared);
    ::chmod(shared.c_str(), 01777);
    gdtest::TempDir home;
    gdtest::TempDir temp;
    const ScopedEnv homeEnv("HOME", home.path());
    const ScopedEnv tempEnv("TMPDIR", temp.path());
    for (const std::string& runtime : {shared.string(), std::string()}) {
        ::setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
        const auto path = gd::InstanceLock::lockFilePath();
        ASSERT_TRUE(path) << runtime;
        EXPECT_NE(path->parent_path(), shared);
        EXPECT_EQ(*path, home.path() / ".cache/groovedeck/GrooveDeckLancher") << runtime;
        struct stat info {};
        ASSERT_EQ(::lstat(path->parent_path().c_str(), &info), 0);
        EXPECT_EQ(info.st_uid, ::geteuid());
        EXPECT_EQ(info.st_mode & 0777, 0700u);
        EXPECT_TRUE(fs::is_empty(temp.path())) << "nothing under the shared temporary directory";
    }
    // A folder another user could have made (open to others) is refused.
    ::chmod((home.path() / ".cache/groovedeck").c_str(), 0777);
    EXPECT_FALSE(gd::InstanceLock::lockFilePath());
}

}  // namespace
