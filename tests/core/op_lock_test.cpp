// OpLock: re-entrancy, serialisation between processes, going ahead when it cannot lock.
#include "root_helper/core/op_lock.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <vector>
#include <fcntl.h>
#include <string>
#include <string_view>
#include <thread>
#include "scratch_dir.hpp"

namespace tq8::core {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

class OpLockTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = tq8::testing::scratch_dir("oplock");
        path_ = dir_ + "/helper.lock";
    }
    void TearDown() override { fs::remove_all(dir_); }

    // Forks a child that takes the lock with the given wait and exits with 1 when it held it,
    // after holding it for hold_ms. Returns the pid.
    pid_t child_taking_lock(std::chrono::milliseconds wait, int hold_ms, int ready_fd = -1) {
        pid_t pid = ::fork();
        if (pid == 0) {
            OpLock lock(path_, wait);
            if (ready_fd >= 0) {
                char c = 'x';
                [[maybe_unused]] auto n = ::write(ready_fd, &c, 1);
            }
            ::usleep(hold_ms * 1000);
            ::_exit(lock.held() ? 1 : 0);
        }
        return pid;
    }
    static bool exit_held(pid_t pid) {
        int status = 0;
        ::waitpid(pid, &status, 0);
        return WIFEXITED(status) && WEXITSTATUS(status) == 1;
    }

    std::string dir_, path_;
};

TEST_F(OpLockTest, NestedLocksOnOneThreadAreNoOpsAndDoNotDeadlock) {
    ASSERT_EQ(OpLock::depth(), 0);
    {
        OpLock outer(path_, 1s);
        EXPECT_TRUE(outer.held());
        {
            // A second flock on a fresh descriptor would wait for the outer one until the
            // wait ran out.
            const auto t0 = std::chrono::steady_clock::now();
            OpLock inner(path_, 500ms);
            EXPECT_LT(std::chrono::steady_clock::now() - t0, 250ms);
            EXPECT_FALSE(inner.held());
            EXPECT_EQ(OpLock::depth(), 2);
        }
        EXPECT_EQ(OpLock::depth(), 1);
        EXPECT_TRUE(outer.held());
        OpLock again(path_, 100ms);
        EXPECT_FALSE(again.held());
    }
    EXPECT_EQ(OpLock::depth(), 0);
    OpLock next(path_, 100ms);
    EXPECT_TRUE(next.held());
}

TEST_F(OpLockTest, LockFileIsPrivateAndSurvivesRelease) {
    { OpLock lock(path_, 1s); }
    struct stat st {};
    ASSERT_EQ(::stat(path_.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(OpLockTest, SecondProcessWaitsUntilTheFirstReleases) {
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const auto t0 = std::chrono::steady_clock::now();
    pid_t holder = child_taking_lock(5s, 400, ready[1]);
    char c;
    ASSERT_EQ(::read(ready[0], &c, 1), 1);
    ::close(ready[0]);
    ::close(ready[1]);
    {
        OpLock mine(path_, 5s);
        EXPECT_TRUE(mine.held());
        // We got it only after the holder's 400 ms were over.
        EXPECT_GE(std::chrono::steady_clock::now() - t0, 350ms);
    }
    EXPECT_TRUE(exit_held(holder));
}

// The helper's own runs never give up waiting: a holder slower than any fixed wait (a reset
// whose last commands run to their limit) still has the lock to itself, and the runs queued
// behind it go one at a time. Each child marks its entry and exit in one shared file.
TEST_F(OpLockTest, DefaultWaitOutlastsTheHolderAndWaitersGoOneAtATime) {
    const std::string marks = dir_ + "/marks";
    int go[2];
    ASSERT_EQ(::pipe(go), 0);
    // Forked before we lock: a child must not inherit our locked descriptor.
    std::vector<pid_t> kids;
    for (int i = 0; i < 4; ++i) {
        pid_t pid = ::fork();
        if (pid == 0) {
            char c;
            if (::read(go[0], &c, 1) != 1) ::_exit(99);
            OpLock lock(path_);
            int fd = ::open(marks.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
            [[maybe_unused]] auto a = ::write(fd, "(", 1);
            ::usleep(60'000);
            [[maybe_unused]] auto b = ::write(fd, ")", 1);
            ::close(fd);
            ::_exit(lock.held() ? 1 : 0);
        }
        kids.push_back(pid);
    }
    {
        OpLock mine(path_);
        ASSERT_TRUE(mine.held());
        ASSERT_EQ(::write(go[1], "gggg", 4), 4);
        ::usleep(400'000);  // far past the children's own short holds
        EXPECT_FALSE(std::filesystem::exists(marks)) << "a waiter went ahead";
    }
    ::close(go[0]);
    ::close(go[1]);
    for (pid_t pid : kids) EXPECT_TRUE(exit_held(pid));
    std::ifstream in(marks);
    std::string seen((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(seen, "()()()()");
}

// A finite wait (the guard's clean-up passes one) runs out and goes ahead.
TEST_F(OpLockTest, BoundedWaitRunsOutAndGoesAheadUnlocked) {
    OpLock mine(path_, 1s);
    ASSERT_TRUE(mine.held());
    // Forked while we hold it: the child inherits our depth, so reset its view by using a
    // fresh thread, which has a depth of its own.
    const auto t0 = std::chrono::steady_clock::now();
    pid_t pid = ::fork();
    if (pid == 0) {
        bool held = true;
        std::thread([&] { held = OpLock(path_, 150ms).held(); }).join();
        ::_exit(held ? 1 : 0);
    }
    EXPECT_FALSE(exit_held(pid));
    EXPECT_GE(std::chrono::steady_clock::now() - t0, 150ms) << "gave up before the wait ran out";
}

TEST_F(OpLockTest, AnotherThreadOfTheProcessIsSerialisedToo) {
    OpLock mine(path_, 1s);
    ASSERT_TRUE(mine.held());
    bool held = true;
    const auto t0 = std::chrono::steady_clock::now();
    std::thread([&] { held = OpLock(path_, 100ms).held(); }).join();
    EXPECT_FALSE(held);
    EXPECT_GE(std::chrono::steady_clock::now() - t0, 100ms) << "it waited as another process would";
}

TEST_F(OpLockTest, UnusablePathsGoAheadUnlocked) {
    ASSERT_EQ(::mkfifo((dir_ + "/fifo").c_str(), 0600), 0);
    fs::create_directory(dir_ + "/adir");
    fs::create_symlink(dir_ + "/elsewhere", dir_ + "/link");
    const std::string cases[] = {
        dir_ + "/no-such-dir/helper.lock",  // a system without /run
        dir_ + "/fifo",                     // must not hang in open()
        dir_ + "/adir",
        dir_ + "/link",                     // never followed
    };
    for (const auto& p : cases) {
        SCOPED_TRACE(p);
        const auto t0 = std::chrono::steady_clock::now();
        OpLock lock(p, 5s);
        EXPECT_FALSE(lock.held());
        EXPECT_LT(std::chrono::steady_clock::now() - t0, 1s);
    }
    EXPECT_FALSE(fs::exists(dir_ + "/elsewhere"));
    EXPECT_EQ(OpLock::depth(), 0);
}

TEST_F(OpLockTest, DescriptorIsNotInheritedByPrograms) {
    OpLock lock(path_, 1s);
    ASSERT_TRUE(lock.held());
    // A child that kept the descriptor across exec would keep the lock after we let go.
    const std::string cmd = "ls -l /proc/self/fd/ | grep -q '" + path_ + "'";
    EXPECT_NE(std::system(cmd.c_str()), 0);
}

}  // namespace
}  // namespace tq8::core
