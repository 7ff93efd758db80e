// The shared system utilities: the PATH search, the whole-file read and the errno text.
#include "root_helper/core/system_util.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

namespace tq8::core {
namespace {

namespace fs = std::filesystem;

class SystemUtil : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("tq8-sysutil-" + std::to_string(::getpid()));
        fs::create_directories(dir_ / "bin");
        if (const char* p = std::getenv("PATH")) saved_path_ = p;
    }
    void TearDown() override {
        if (saved_path_) ::setenv("PATH", saved_path_->c_str(), 1);
        else ::unsetenv("PATH");
        fs::remove_all(dir_);
    }
    void make(const std::string& name, fs::perms perms) {
        std::ofstream(dir_ / "bin" / name) << "#!/bin/sh\n";
        fs::permissions(dir_ / "bin" / name, perms);
    }
    fs::path dir_;
    std::optional<std::string> saved_path_;
};

TEST_F(SystemUtil, OnPathFindsOnlyExecutableRegularFiles) {
    make("tool", fs::perms::owner_all);
    make("plain", fs::perms::owner_read | fs::perms::owner_write);
    fs::create_directories(dir_ / "bin" / "folder");
    fs::create_directory_symlink(dir_ / "bin" / "folder", dir_ / "bin" / "linked");
    ::setenv("PATH", ("/nonexistent::" + (dir_ / "bin").string()).c_str(), 1);
    EXPECT_TRUE(on_path("tool"));
    EXPECT_FALSE(on_path("plain")) << "not executable";
    EXPECT_FALSE(on_path("folder")) << "a directory";
    EXPECT_FALSE(on_path("linked")) << "a link to a directory";
    EXPECT_FALSE(on_path("missing"));
    // PATH unset: the system's default search path, where sh always is.
    ::unsetenv("PATH");
    EXPECT_TRUE(on_path("sh"));
    EXPECT_FALSE(on_path("tool"));
}

TEST_F(SystemUtil, ReadWholeFileReadsPastOneBuffer) {
    const std::string big(100'000, 'x');
    std::ofstream(dir_ / "big") << big << "end";
    EXPECT_EQ(read_whole_file((dir_ / "big").string()), big + "end");
    EXPECT_EQ(read_whole_file((dir_ / "none").string()), std::nullopt);
    EXPECT_EQ(read_whole_file(dir_.string()), std::nullopt) << "a directory reads as a failure";
}

TEST(ErrnoText, IsTheRuntimesOSErrorText) {
    EXPECT_EQ(errno_text(ENOENT), "[Errno 2] No such file or directory");
    EXPECT_EQ(errno_text(EISDIR, "/etc/x"), "[Errno 21] Is a directory: '/etc/x'");
    EXPECT_EQ(errno_text(9999), "[Errno 9999] Unknown error 9999");
}

}  // namespace
}  // namespace tq8::core
