// The helper's memory: MTUs set_mtu changed, and what a wg-quick start left beyond its link.
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include <unistd.h>

#include <gtest/gtest.h>

#include "fake_runner.hpp"
#include "root_helper/netops/netops.hpp"
#include "scratch_dir.hpp"

namespace tq8::netops {
namespace {

namespace fs = std::filesystem;
using Argv = std::vector<std::string>;
using core::CommandResult;

std::string slurp(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// A scratch state directory and links that "ip link set dev X mtu N" really changes.
class HelperState : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = tq8::testing::scratch_dir("state-test");
        state_.private_dir = (dir_ / "private").string();
        state_.src_valid_mark = (dir_ / "src_valid_mark").string();
        state_.link_state = [this](const std::string& dev) -> std::optional<LinkState> {
            auto it = links_.find(dev);
            if (it == links_.end()) return std::nullopt;
            return it->second;
        };
        saved_path_ = std::getenv("PATH") ? std::getenv("PATH") : "";
        fs::create_directories(dir_ / "empty");
        // No nft: wg-quick then used iptables, and so do these tests.
        ::setenv("PATH", (dir_ / "empty").c_str(), 1);
    }
    void TearDown() override {
        ::setenv("PATH", saved_path_.c_str(), 1);
        fs::remove_all(dir_);
    }
    // A runner whose ip link set changes links_, unless it is told to fail.
    testing::FakeRunner kernel(int ip_rc = 0) {
        testing::FakeRunner r;
        r.fallback([this, ip_rc](const Argv& a) {
            if (a.size() == 7 && a[1] == "link" && a[2] == "set" && ip_rc == 0)
                links_[a[4]].mtu = std::stoll(a[6]);
            return CommandResult{a[0] == "ip" ? ip_rc : 1, "", ""};
        });
        return r;
    }
    std::string state_file(const std::string& name) {
        const auto p = fs::path(state_.private_dir) / name;
        return fs::exists(p) ? slurp(p) : "(none)";
    }

    fs::path dir_;
    TunnelPaths state_;
    std::map<std::string, LinkState> links_;
    std::string saved_path_;
};

TEST_F(HelperState, SetMtuRemembersTheLinksOwnMtuAtTheFirstChange) {
    struct Step {
        std::string dev;
        long long mtu;
        int ip_rc = 0;
        std::optional<LinkState> before;  // the link as someone else left it, before this step
    };
    struct Case {
        const char* name;
        std::vector<Step> steps;
        std::string record;
    };
    const std::vector<Case> cases = {
        {"later changes keep the original", {{"eth0", 1420, 0, {}}, {"eth0", 1380, 0, {}}}, "eth0 2 1500 1380\n"},
        {"clamped value is what is set", {{"eth0", 9000, 0, LinkState{2, 9000}}}, "eth0 2 9000 1500\n"},
        {"no change is nothing to remember", {{"ppp0", 1492, 0, LinkState{3, 1492}}}, "(none)"},
        {"failed ip remembers nothing", {{"eth0", 1420, 2, {}}}, "(none)"},
        {"unknown link", {{"nosuch0", 1420, 0, {}}}, "(none)"},
        {"a link made again starts afresh",
         {{"eth0", 1420, 0, {}}, {"eth0", 1400, 0, LinkState{5, 1500}}}, "eth0 5 1500 1400\n"},
        {"each device its own line", {{"eth0", 1420, 0, {}}, {"ppp0", 1400, 0, LinkState{3, 1492}}},
         "eth0 2 1500 1420\nppp0 3 1492 1400\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(state_.private_dir);
        links_ = {{"eth0", {2, 1500}}};
        for (const auto& s : c.steps) {
            if (s.before) links_[s.dev] = *s.before;
            auto runner = kernel(s.ip_rc);
            set_mtu(runner, s.dev, s.mtu, state_);
        }
        EXPECT_EQ(state_file("mtus"), c.record);
    }
}

// src_valid_mark is recorded before the start (a start killed half-way leaves the record for
// the reset) and kept only when the start gave it the tunnel's value; the table wg-quick chose
// replaces any stale one.
TEST_F(HelperState, TunnelStartRecordsTheSettingsFirstValueAndTheChosenTable) {
    struct Case {
        const char* name;
        std::string earlier_mark;  // a record left by an up never taken down, or ""
        std::string before, after;
        CommandResult fwmark;
        std::string mark_before_up, table_record, mark_record;
    };
    const std::vector<Case> cases = {
        {"full tunnel", "", "0", "1", {0, "0xca6c", ""}, "0 1\n", "51820\n", "0 1\n"},
        {"already 1, no fwmark", "", "1", "1", {0, "off", ""}, "(none)", "(none)", "(none)"},
        {"split tunnel, wg missing", "", "0", "0", {1, "", "Komut çalıştırma hatası"}, "0 1\n",
         "(none)", "(none)"},
        {"second up keeps the first value", "0 1\n", "1", "1", {0, "0x1", ""}, "0 1\n", "1\n",
         "0 1\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(state_.private_dir);
        std::string err;
        ASSERT_TRUE(open_private_dir(state_, true, &err)) << err;
        std::ofstream(fs::path(state_.private_dir) / "tunnel-table") << "7\n";  // a stale one
        if (!c.earlier_mark.empty())
            std::ofstream(fs::path(state_.private_dir) / "src-valid-mark") << c.earlier_mark;
        std::ofstream(state_.src_valid_mark) << c.before << "\n";
        remember_src_valid_mark(state_);
        EXPECT_EQ(state_file("src-valid-mark"), c.mark_before_up);
        std::ofstream(state_.src_valid_mark) << c.after << "\n";
        testing::FakeRunner runner;
        runner.script({"wg", "show", "tq8wg0", "fwmark"}, {c.fwmark});
        note_tunnel_start(runner, state_, true);
        EXPECT_EQ(runner.calls, (std::vector<Argv>{{"wg", "show", "tq8wg0", "fwmark"}}));
        EXPECT_EQ(state_file("tunnel-table"), c.table_record);
        EXPECT_EQ(state_file("src-valid-mark"), c.mark_record);
    }
}

TEST_F(HelperState, LeftoversAreOursAloneInEveryTableOfBothFamilies) {
    const std::string save4 =
        "# Generated by iptables-save v1.8.9\n"
        "*raw\n"
        ":PREROUTING ACCEPT [0:0]\n"
        "-A PREROUTING ! -i tq8wg0 -d 10.66.0.2/32 -m addrtype ! --src-type LOCAL -m comment "
        "--comment \"wg-quick(8) rule for tq8wg0\" -j DROP\n"
        "-A PREROUTING ! -i wg1 -d 10.9.0.2/32 -m addrtype ! --src-type LOCAL -m comment "
        "--comment \"wg-quick(8) rule for wg1\" -j DROP\n"
        "COMMIT\n"
        "*mangle\n"
        "-A PREROUTING -p udp -m comment --comment \"wg-quick(8) rule for tq8wg0\" -j CONNMARK "
        "--restore-mark --nfmask 0xffffffff --ctmask 0xffffffff\n"
        "-A PREROUTING -p udp -m comment --comment \"wg-quick(8) rule for tq8wg00\" -j ACCEPT\n"
        "-A OUTPUT -m comment --comment \"not wg-quick(8) rule for tq8wg0\" -j ACCEPT\n"
        "COMMIT\n";
    const Argv del4 = {"ip", "-4", "rule", "del", "not", "fwmark", "51820", "table", "51820"};
    const Argv del6 = {"ip", "-6", "rule", "del", "not", "fwmark", "51820", "table", "51820"};
    const Argv suppress4 = {"ip", "-4", "rule", "del", "table", "main",
                            "suppress_prefixlength", "0"};
    testing::FakeRunner runner;
    runner.default_result = {2, "", "RTNETLINK answers: No such file or directory"};
    runner.script(del4, {{0, "", ""}, {2, "", ""}});
    runner.script(del6, {{0, "", ""}, {0, "", ""}, {2, "", ""}});
    runner.script({"ip", "-4", "rule", "show"},
                  {{0, "0:\tfrom all lookup local\n32766:\tfrom all lookup main", ""}});
    // Another full tunnel still needs the main table's rule in IPv6.
    runner.script({"ip", "-6", "rule", "show"},
                  {{0, "32764:\tnot from all fwmark 0x1 lookup 1\n32765:\tfrom all lookup main "
                       "suppress_prefixlength 0", ""}});
    runner.script({"iptables-save"}, {{0, save4, ""}});
    runner.script({"ip6tables-save"}, {{1, "", "ip6tables-save: not found"}});

    // Nothing recorded: nothing is ours to remove.
    remove_tunnel_leftovers(runner, state_);
    EXPECT_TRUE(runner.calls.empty());

    ASSERT_EQ(write_private_file(state_, "tunnel-table", "51820\n"), std::nullopt);
    remove_tunnel_leftovers(runner, state_);
    const std::vector<Argv> expected = {
        del4, del4, {"ip", "-4", "rule", "show"}, suppress4,
        del6, del6, del6, {"ip", "-6", "rule", "show"},
        {"iptables-save"},
        {"iptables", "-t", "raw", "-D", "PREROUTING", "!", "-i", "tq8wg0", "-d", "10.66.0.2/32",
         "-m", "addrtype", "!", "--src-type", "LOCAL", "-m", "comment", "--comment",
         "wg-quick(8) rule for tq8wg0", "-j", "DROP"},
        {"iptables", "-t", "mangle", "-D", "PREROUTING", "-p", "udp", "-m", "comment",
         "--comment", "wg-quick(8) rule for tq8wg0", "-j", "CONNMARK", "--restore-mark",
         "--nfmask", "0xffffffff", "--ctmask", "0xffffffff"},
        {"ip6tables-save"},
    };
    EXPECT_EQ(runner.calls, expected);
    EXPECT_EQ(state_file("tunnel-table"), "(none)");
}

TEST(SaveLineArguments, UnquotesLikeTheSaveFormatQuotes) {
    EXPECT_EQ(save_line_arguments("-A X  -m comment --comment \"a \\\"b\\\" c\" -j DROP"),
              (std::optional<std::vector<std::string>>{
                  {"-A", "X", "-m", "comment", "--comment", "a \"b\" c", "-j", "DROP"}}));
    EXPECT_EQ(save_line_arguments("-A X --comment \"open"), std::nullopt);
}

}  // namespace
}  // namespace tq8::netops
