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

namespace tq8::core {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

class OpLockTest : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/tq8-oplock.XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        path_ = dir_ + "/helper.lock";
    }
    void TearDown() override { fs::remove_all(dir_); }

    // Forks a child that takes the lock with the given wait and exits with its state, after
    // holding it for hold_ms. Returns the pid.
    pid_t child_taking_lock(std::chrono::milliseconds wait, int hold_ms, int ready_fd = -1) {
        pid_t pid = ::fork();
        if (pid == 0) {
            OpLock lock(path_, wait);
            if (ready_fd >= 0) {
                char c = 'x';
                [[maybe_unused]] auto n = ::write(ready_fd, &c, 1);
            }
            ::usleep(hold_ms * 1000);
            ::_exit(static_cast<int>(lock.state()));
        }
        return pid;
    }
    static OpLock::State exit_state(pid_t pid) {
        int status = 0;
        ::waitpid(pid, &status, 0);
        return static_cast<OpLock::State>(WEXITSTATUS(status));
    }

    std::string dir_, path_;
};

TEST_F(OpLockTest, NestedLocksOnOneThreadAreNoOpsAndDoNotDeadlock) {
    ASSERT_EQ(OpLock::depth(), 0);
    {
        OpLock outer(path_, 1s);
        EXPECT_EQ(outer.state(), OpLock::State::kOwner);
        EXPECT_TRUE(outer.held());
        {
            // A second flock on a fresh descriptor would wait for the outer one: the wait
            // would run out and the state would say so.
            OpLock inner(path_, 100ms);
            EXPECT_EQ(inner.state(), OpLock::State::kNested);
            EXPECT_FALSE(inner.held());
            EXPECT_EQ(OpLock::depth(), 2);
        }
        EXPECT_EQ(OpLock::depth(), 1);
        EXPECT_TRUE(outer.held());
        OpLock again(path_, 100ms);
        EXPECT_EQ(again.state(), OpLock::State::kNested);
    }
    EXPECT_EQ(OpLock::depth(), 0);
    OpLock next(path_, 100ms);
    EXPECT_EQ(next.state(), OpLock::State::kOwner);
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
        EXPECT_EQ(mine.state(), OpLock::State::kOwner);
        // We got it only after the holder's 400 ms were over.
        EXPECT_GE(std::chrono::steady_clock::now() - t0, 350ms);
    }
    EXPECT_EQ(exit_state(holder), OpLock::State::kOwner);
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
            ::_exit(static_cast<int>(lock.state()));
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
    for (pid_t pid : kids) EXPECT_EQ(exit_state(pid), OpLock::State::kOwner);
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
    pid_t pid = ::fork();
    if (pid == 0) {
        OpLock::State s{};
        std::thread([&] { s = OpLock(path_, 150ms).state(); }).join();
        ::_exit(static_cast<int>(s));
    }
    EXPECT_EQ(exit_state(pid), OpLock::State::kTimedOut);
}

TEST_F(OpLockTest, AnotherThreadOfTheProcessIsSerialisedToo) {
    OpLock mine(path_, 1s);
    ASSERT_TRUE(mine.held());
    OpLock::State s{};
    std::thread([&] { s = OpLock(path_, 100ms).state(); }).join();
    EXPECT_EQ(s, OpLock::State::kTimedOut);
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
        EXPECT_EQ(lock.state(), OpLock::State::kUnlocked);
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
