// Replacing a file through a hidden name: what the new file gets, and what a failure leaves.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "root_helper/core/safe_replace.hpp"
#include "root_helper/core/unique_fd.hpp"
#include "scratch_dir.hpp"

namespace tq8::core {
namespace {

namespace fs = std::filesystem;

class SafeReplace : public ::testing::Test {
protected:
    void SetUp() override {
        root_ = tq8::testing::scratch_dir("replace-test");
        dir_ = UniqueFd(::open(root_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    }
    void TearDown() override { fs::remove_all(root_); }

    std::string slurp(const std::string& name) const {
        std::ifstream in(root_ / name);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }
    // Everything in the directory, hidden names included.
    std::vector<std::string> names() const {
        std::vector<std::string> out;
        for (const auto& e : fs::directory_iterator(root_)) out.push_back(e.path().filename());
        std::sort(out.begin(), out.end());
        return out;
    }

    fs::path root_;
    UniqueFd dir_;
};

TEST_F(SafeReplace, TheNewFileHasTheModeAndOwnerAskedForWhateverTheUmask) {
    const mode_t old_mask = ::umask(077);
    struct Case {
        FileMode mode;
        mode_t expected_mode;
    } cases[] = {{{}, 0600}, {{0644, std::nullopt, true}, 0644}, {{04755, std::nullopt}, 04755}};
    for (const auto& c : cases) {
        ASSERT_EQ(replace_file(dir_.get(), "f", "new\n", c.mode), 0);
        struct stat st {};
        ASSERT_EQ(::stat((root_ / "f").c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, c.expected_mode);
        EXPECT_EQ(slurp("f"), "new\n");
    }
    ::umask(old_mask);
    if (::geteuid() == 0) {
        ASSERT_EQ(replace_file(dir_.get(), "f", "x", {0644, std::pair{1234u, 5678u}}), 0);
        struct stat st {};
        ASSERT_EQ(::stat((root_ / "f").c_str(), &st), 0);
        EXPECT_EQ(st.st_uid, 1234u);
        EXPECT_EQ(st.st_gid, 5678u);
    }
    EXPECT_EQ(names(), std::vector<std::string>{"f"});
}

TEST_F(SafeReplace, AFailedReplacementLeavesTheOldEntryAndNoHiddenName) {
    fs::create_directory(root_ / "d");
    std::ofstream(root_ / "d" / "keep") << "x";
    EXPECT_EQ(replace_file(dir_.get(), "d", "new", {}), EISDIR);
    EXPECT_EQ(replace_with_link(dir_.get(), "d", "/elsewhere"), EISDIR);
    EXPECT_TRUE(fs::is_directory(root_ / "d"));
    EXPECT_EQ(names(), std::vector<std::string>{"d"});
}

TEST_F(SafeReplace, ALinkReplacesAFileAndWritingInPlaceKeepsWhatThePathIs) {
    std::ofstream(root_ / "f") << "old";
    ASSERT_EQ(replace_with_link(dir_.get(), "f", "target"), 0);
    EXPECT_EQ(fs::read_symlink(root_ / "f"), "target");

    ASSERT_EQ(::mkfifo((root_ / "fifo").c_str(), 0600), 0);
    EXPECT_EQ(write_in_place((root_ / "fifo").string(), "x", false), ENXIO)
        << "a FIFO without a reader is refused, not waited for";
    std::ofstream(root_ / "g") << "a much longer old content";
    fs::create_hard_link(root_ / "g", root_ / "g2");
    ASSERT_EQ(write_in_place((root_ / "g").string(), "short", true), 0);
    EXPECT_EQ(slurp("g2"), "short");
    EXPECT_EQ(write_in_place((root_ / "f").string(), "x", false), ELOOP) << "a link is not followed";
}

}  // namespace
}  // namespace tq8::core
