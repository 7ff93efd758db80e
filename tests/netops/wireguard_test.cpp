// manage_wireguard: the wg-quick tests, both bring-up paths, the fall-back and the take-down;
// the default-route device lookup.
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "fake_runner.hpp"
#include "netops/record_printing.hpp"
#include "root_helper/core/audit_log.hpp"
#include "root_helper/netops/netops.hpp"
#include "scratch_dir.hpp"

namespace tq8::netops {
namespace {

namespace fs = std::filesystem;
using Argv = std::vector<std::string>;

const Argv kModprobe = {"modprobe", "wireguard"};
const Argv kDel = {"ip", "link", "del", "dev", "tq8wg0"};
const Argv kAdd = {"ip", "link", "add", "dev", "tq8wg0", "type", "wireguard"};
const Argv kAddr = {"ip", "address", "add", "10.54.0.2/24", "dev", "tq8wg0"};
const Argv kRoute = {"ip", "-o", "-4", "route", "show", "to", "default"};
const Argv kWgShow = {"wg", "show", "tq8wg0", "fwmark"};

// As the module calls it: the configuration read first, then the operation.
core::Record wireguard(core::CommandRunner& runner, Seams& seams, const std::string& action,
                       const std::string& conf_path, const std::string& mtu,
                       const TunnelPaths& paths = {}) {
    return manage_wireguard(runner, seams, action, conf_path, read_tunnel_conf(conf_path), mtu,
                            paths);
}

Argv link_set(const std::string& mtu) { return {"ip", "link", "set", "mtu", mtu, "up", "dev", "tq8wg0"}; }

// A scratch directory with a configuration file and a directory holding an executable
// wg-quick; PATH is the test's to set and is put back afterwards.
class Wireguard : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = tq8::testing::scratch_dir("netops-test");
        paths_.private_dir = (dir_ / "private").string();
        paths_.src_valid_mark = (dir_ / "src_valid_mark").string();
        copy_ = paths_.private_dir + "/tq8wg0.conf";
        conf_ = (dir_ / "tq8.conf").string();
        std::ofstream(conf_) << "[Interface]\n";
        fs::create_directories(dir_ / "bin");
        fs::create_directories(dir_ / "empty");
        make_file(dir_ / "bin" / "wg-quick", fs::perms::owner_all);
        if (const char* p = std::getenv("PATH")) saved_path_ = p;
        saved_cwd_ = fs::current_path();
    }
    void TearDown() override {
        if (saved_path_) ::setenv("PATH", saved_path_->c_str(), 1);
        else ::unsetenv("PATH");
        fs::current_path(saved_cwd_);
        fs::remove_all(dir_);
    }
    static void make_file(const fs::path& p, fs::perms perms) {
        std::ofstream(p) << "#!/bin/sh\nexit 0\n";
        fs::permissions(p, perms);
    }
    void path_with_wg_quick() { ::setenv("PATH", ((dir_ / "empty").string() + ":" + (dir_ / "bin").string()).c_str(), 1); }
    void path_without_wg_quick() { ::setenv("PATH", (dir_ / "empty").c_str(), 1); }

    fs::path dir_;
    TunnelPaths paths_;
    std::string copy_;
    std::string conf_;
    std::optional<std::string> saved_path_;
    fs::path saved_cwd_;
    testing::FakeRunner runner_;
    testing::FakeSeams seams_;
};

TEST_F(Wireguard, DownWithoutWgQuickOnlyDeletesTheLink) {
    struct Case {
        const char* name;
        bool conf;
        bool wg_quick;
    };
    for (const Case c : {Case{"no_conf", false, true}, Case{"conf_but_no_wg_quick", true, false}}) {
        SCOPED_TRACE(c.name);
        c.wg_quick ? path_with_wg_quick() : path_without_wg_quick();
        testing::FakeRunner runner;
        runner.script(kDel, {{1, "", "Cannot find device \"tq8wg0\""}});
        const auto record = wireguard(runner, seams_, "down", c.conf ? conf_ : "", "1420", paths_);
        EXPECT_EQ(runner.calls, (std::vector<Argv>{kDel}));
        const core::Record expected{true,
                                    {{"active", false}},
                                    {{"ip link del dev tq8wg0", 1, "", "Cannot find device \"tq8wg0\""}}};
        EXPECT_EQ(record, expected);
    }
}

TEST_F(Wireguard, DownWithWgQuickRunsItFirstAndIgnoresItsFailure) {
    path_with_wg_quick();
    runner_.script({"wg-quick", "down", copy_}, {{1, "", "wg-quick: `tq8wg0' is not a WireGuard interface"}});
    const auto record = wireguard(runner_, seams_, "down", conf_, "1420", paths_);
    EXPECT_EQ(runner_.calls, (std::vector<Argv>{{"wg-quick", "down", copy_}, kDel}));
    EXPECT_TRUE(record.ok);
    ASSERT_EQ(record.logs.size(), 2u);
    EXPECT_EQ(record.logs[0], (core::LogEntry{"wg-quick down " + conf_, 1, "",
                                              "wg-quick: `tq8wg0' is not a WireGuard interface"}));
    EXPECT_EQ(record.logs[1].cmd, "ip link del dev tq8wg0");
    EXPECT_FALSE(fs::exists(copy_));
}

TEST_F(Wireguard, UpThroughWgQuickStopsAtItsSuccess) {
    path_with_wg_quick();
    const auto record = wireguard(runner_, seams_, "up", conf_, "1420", paths_);
    EXPECT_EQ(runner_.calls, (std::vector<Argv>{kDel, {"wg-quick", "up", copy_}, kWgShow}));
    const core::Record expected{true,
                                {{"active", true}, {"mode", std::string("wg-quick")}},
                                {{"wg-quick up " + conf_, 0, "", ""}}};
    EXPECT_EQ(record, expected);
    EXPECT_TRUE(seams_.set_mtu_calls.empty());
}

TEST_F(Wireguard, FailedWgQuickFallsBackToTheBareLink) {
    path_with_wg_quick();
    runner_.script({"wg-quick", "up", copy_}, {{1, "", "RTNETLINK answers: Operation not supported"}});
    runner_.script(kRoute, {{0, "default via 198.18.0.1 dev eth0", ""}});
    const auto record = wireguard(runner_, seams_, "up", conf_, "1420", paths_);
    EXPECT_EQ(runner_.calls, (std::vector<Argv>{kDel, {"wg-quick", "up", copy_}, kModprobe, kDel, kAdd,
                                                kAddr, link_set("1420"), kRoute}));
    const core::Record expected{
        true,
        {{"active", true}, {"interface", std::string("tq8wg0")}, {"mtu", 1420LL}},
        {{"wg-quick up " + conf_, 1, "", "RTNETLINK answers: Operation not supported"},
         {"ip link add dev tq8wg0 type wireguard", 0, "", ""},
         {"ip address add 10.54.0.2/24 dev tq8wg0", 0, "", ""},
         {"ip link set mtu 1420 up dev tq8wg0", 0, "", ""}}};
    EXPECT_EQ(record, expected);
    EXPECT_EQ(seams_.set_mtu_calls, (std::vector<std::pair<std::string, std::string>>{{"eth0", "1420"}}));
}

// Each of the three tests alone sends the bring-up to the bare link, wg-quick unseen.
TEST_F(Wireguard, WgQuickIsUsedOnlyWhenAllThreeTestsPass) {
    struct Case {
        const char* name;
        std::function<std::string(const fs::path&)> prepare;  // returns conf_path
        bool uses_wg_quick;
        bool step_logged = uses_wg_quick;  // a wg-quick entry, refused or run
    };
    const std::vector<Case> cases = {
        {"empty_conf_path", [](const fs::path&) { return std::string(); }, false},
        {"nothing_at_path", [](const fs::path& d) { return (d / "missing.conf").string(); }, false},
        {"dangling_link",
         [](const fs::path& d) {
             fs::create_symlink(d / "gone.conf", d / "dangling.conf");
             return (d / "dangling.conf").string();
         },
         false},
        {"link_to_file",
         [](const fs::path& d) {
             fs::create_symlink(d / "tq8.conf", d / "link.conf");
             return (d / "link.conf").string();
         },
         true},
        // Something is there, so the step is logged, but only a regular file reaches wg-quick.
        {"directory_counts_as_something", [](const fs::path& d) { return (d / "empty").string(); }, false, true},
        {"nul_byte_in_path",
         [](const fs::path& d) { return (d / "tq8.conf").string() + std::string(1, '\0') + "x"; }, false},
        {"wg_quick_not_executable",
         [](const fs::path& d) {
             fs::permissions(d / "bin" / "wg-quick", fs::perms::owner_read | fs::perms::owner_write);
             return (d / "tq8.conf").string();
         },
         false},
        {"wg_quick_is_a_directory",
         [](const fs::path& d) {
             fs::remove(d / "bin" / "wg-quick");
             fs::create_directory(d / "bin" / "wg-quick");
             return (d / "tq8.conf").string();
         },
         false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TearDown();
        SetUp();
        path_with_wg_quick();
        testing::FakeRunner runner;
        const std::string conf = c.prepare(dir_);
        const auto record = wireguard(runner, seams_, "up", conf, "1420", paths_);
        EXPECT_EQ(runner.calls.size() > 1 && runner.calls[1] == (Argv{"wg-quick", "up", copy_}), c.uses_wg_quick);
        EXPECT_EQ(record.logs.size(), c.uses_wg_quick ? 1u : c.step_logged ? 4u : 3u);
    }
}

TEST_F(Wireguard, EmptyPathElementMeansTheCurrentDirectory) {
    for (const char* path : {"", ":/nonexistent", "/nonexistent:"}) {
        SCOPED_TRACE(path);
        ::setenv("PATH", path, 1);
        fs::current_path(dir_ / "bin");
        testing::FakeRunner runner;
        wireguard(runner, seams_, "up", conf_, "1420", paths_);
        EXPECT_EQ(runner.calls.back(), kWgShow);
        fs::current_path(dir_);
        testing::FakeRunner elsewhere;
        wireguard(elsewhere, seams_, "up", conf_, "1420", paths_);
        EXPECT_EQ(elsewhere.calls.front(), kModprobe);
    }
}

TEST_F(Wireguard, BareLinkOutcomes) {
    struct Case {
        const char* name;
        int add_rc, addr_rc, set_rc;
        bool ok, active;
    };
    for (const Case c : {Case{"all_succeed", 0, 0, 0, true, true},
                         Case{"address_fails", 0, 2, 0, true, true},
                         Case{"link_set_fails", 0, 0, 2, false, true},
                         Case{"no_wireguard_in_kernel", 2, 1, 1, false, false}}) {
        SCOPED_TRACE(c.name);
        testing::FakeRunner runner;
        testing::FakeSeams seams;
        runner.script(kAdd, {{c.add_rc, "", c.add_rc ? "Error: Unknown device type." : ""}});
        runner.script(kAddr, {{c.addr_rc, "", ""}});
        runner.script(link_set("1420"), {{c.set_rc, "", ""}});
        runner.script(kRoute, {{0, "default via 198.18.0.1 dev veth0 proto static", ""}});
        const auto record = wireguard(runner, seams, "up", "", "1420", paths_);
        EXPECT_EQ(runner.calls, (std::vector<Argv>{kModprobe, kDel, kAdd, kAddr, link_set("1420"), kRoute}));
        EXPECT_EQ(record.ok, c.ok);
        EXPECT_EQ(record.state.at(0), (std::pair<std::string, core::Value>{"active", c.active}));
        ASSERT_EQ(record.logs.size(), 3u);
        EXPECT_EQ(record.logs[0].rc, c.add_rc);
        EXPECT_EQ(record.logs[1].rc, c.addr_rc);
        EXPECT_EQ(record.logs[2].rc, c.set_rc);
        // The physical device step runs whatever the link did.
        EXPECT_EQ(seams.set_mtu_calls, (std::vector<std::pair<std::string, std::string>>{{"veth0", "1420"}}));
    }
}

TEST_F(Wireguard, AnyActionButExactlyDownBringsTheTunnelUp) {
    for (const char* action : {"up", "UP", "", "Down", "down "}) {
        SCOPED_TRACE(action);
        testing::FakeRunner runner;
        wireguard(runner, seams_, action, "", "1420", paths_);
        EXPECT_EQ(runner.calls.front(), kModprobe);
    }
}

TEST_F(Wireguard, MtuTextIsPassedThroughUnclampedAndReturnedAsTheIntegerGiven) {
    struct Case {
        std::string decimal;
        core::Value returned;
    };
    for (const auto& c : {Case{"1380", 1380LL}, Case{"1000", 1000LL}, Case{"-5", -5LL},
                          Case{"1000000000000000000000000000000",
                               core::BigInt{"1000000000000000000000000000000"}}}) {
        SCOPED_TRACE(c.decimal);
        testing::FakeRunner runner;
        testing::FakeSeams seams;
        runner.script(kRoute, {{0, "default via 198.18.0.1 dev wlp0s20f3", ""}});
        const auto record = wireguard(runner, seams, "up", "", c.decimal);
        EXPECT_EQ(runner.calls.at(4), link_set(c.decimal));
        EXPECT_EQ(record.logs.at(2).cmd, "ip link set mtu " + c.decimal + " up dev tq8wg0");
        EXPECT_EQ(record.state.at(2), (std::pair<std::string, core::Value>{"mtu", c.returned}));
        // set_mtu does the clamping for the physical device, not this operation.
        EXPECT_EQ(seams.set_mtu_calls,
                  (std::vector<std::pair<std::string, std::string>>{{"wlp0s20f3", c.decimal}}));
    }
}

TEST_F(Wireguard, NoDeviceFromTheRouteLookupMeansNoSetMtu) {
    for (const core::CommandResult& route :
         {core::CommandResult{0, "", ""}, core::CommandResult{1, "", "boom"},
          core::CommandResult{0, "default via 198.18.0.1 mydev x", ""}}) {
        SCOPED_TRACE(route.out);
        testing::FakeRunner runner;
        testing::FakeSeams seams;
        runner.script(kRoute, {route});
        const auto record = wireguard(runner, seams, "up", "", "1420", paths_);
        EXPECT_TRUE(seams.set_mtu_calls.empty());
        EXPECT_EQ(record.logs.size(), 3u);
    }
}


std::string slurp(const std::string& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

bool runs_wg_quick(const testing::FakeRunner& r) {
    for (const auto& c : r.calls)
        if (!c.empty() && c[0] == "wg-quick") return true;
    return false;
}

// What the caller wrote must not reach wg-quick when it would run as root, read as root, or is
// not a plain, small file: the step fails with the reason, on "up" and on "down", nothing is
// run through wg-quick, no copy is left, and the audit trail names the refusal.
TEST_F(Wireguard, RefusedConfigurationsAreFailedStepsThatRunNothing) {
    struct Case {
        const char* name;
        std::string content;  // empty: prepare() makes the path
        std::string stderr_start;
        std::function<void(const std::string&)> prepare = nullptr;
    };
    const std::string key_prefix = "Yapılandırma reddedildi: '";
    const std::vector<Case> cases = {
        {"pre_up", "[Interface]\nPreUp = id > /tmp/x\n", key_prefix + "PreUp' anahtarına izin verilmez"},
        {"post_up_lower_padded", "[Interface]\n \t postup=touch /x\n", key_prefix + "PostUp'"},
        {"pre_down_crlf", "[Interface]\r\nPREDOWN\t= x\r\n", key_prefix + "PreDown'"},
        {"post_down_hidden_nul", std::string("[Peer]\nPost") + '\0' + "Down = x\n", key_prefix + "PostDown'"},
        {"save_config", "[Interface]\nSaveConfig = true\n", key_prefix + "SaveConfig'"},
        {"address_glob", "[Interface]\nAddress = /root/*\n", key_prefix + "Address' değeri joker"},
        {"dns_glob", "[Interface]\nDNS = 10.0.0.[1]\n", key_prefix + "DNS' değeri joker"},
        {"too_large", std::string(64 * 1024 + 1, '#'),
         "Yapılandırma dosyası reddedildi: çok büyük (en fazla 65536 bayt)."},
        {"fifo", "", "Yapılandırma dosyası reddedildi: sıradan bir dosya değil.",
         [](const std::string& p) { ASSERT_EQ(::mkfifo(p.c_str(), 0600), 0); }},
        // Reached through a link: the file system of what is opened counts, not of the name.
        {"procfs", "", "Yapılandırma dosyası reddedildi: /proc, /sys gibi bir çekirdek dosya sisteminde.",
         [](const std::string& p) { fs::create_symlink("/proc/self/maps", p); }},
        {"sysfs", "", "Yapılandırma dosyası reddedildi: /proc, /sys gibi bir çekirdek dosya sisteminde.",
         [](const std::string& p) { fs::create_symlink("/sys/kernel/uevent_seqnum", p); }},
    };
    core::set_audit_action("wireguard");
    std::vector<std::string> audit;
    core::set_audit_sink([&](int, std::string_view l) { audit.emplace_back(l); });
    for (const auto& c : cases) {
        for (const char* action : {"up", "down"}) {
            SCOPED_TRACE(std::string(c.name) + " " + action);
            const std::string path = (dir_ / (std::string(c.name) + ".conf")).string();
            fs::remove(path);
            if (c.prepare) c.prepare(path);
            else std::ofstream(path, std::ios::binary) << c.content;
            path_with_wg_quick();
            testing::FakeRunner runner;
            audit.clear();
            const auto record = wireguard(runner, seams_, action, path, "1420", paths_);
            ASSERT_FALSE(record.logs.empty());
            EXPECT_EQ(record.logs[0].cmd, std::string("wg-quick ") + action + " " + path);
            EXPECT_EQ(record.logs[0].rc, 1);
            EXPECT_EQ(record.logs[0].out, "");
            EXPECT_EQ(record.logs[0].err.rfind(c.stderr_start, 0), 0u) << record.logs[0].err;
            EXPECT_FALSE(runs_wg_quick(runner));
            EXPECT_FALSE(fs::exists(copy_));
            ASSERT_EQ(audit.size(), 1u);
            EXPECT_NE(audit[0].find("action=wireguard user=- refused conf=" + path + ": " + c.stderr_start),
                      std::string::npos) << audit[0];
            // Then exactly as after a failed wg-quick: the bare link on up, the link delete on down.
            EXPECT_EQ(record.logs.size(), std::string(action) == "up" ? 4u : 2u);
        }
    }
    core::set_audit_sink(nullptr);
    core::set_audit_action({});
}

TEST_F(Wireguard, CommentsAndPeerKeysAreNotMistakenForHooks) {
    path_with_wg_quick();
    const std::string text =
        "[Interface]\n# PostUp = rm -rf /\nPrivateKey = a+b/c=\nAddress = 10.9.0.2/32\n"
        "[Peer]\nPublicKey = x=\nEndpoint = [2001:db8::1]:51820\nAllowedIPs = 10.9.0.0/24\n";
    std::ofstream(conf_, std::ios::binary) << text;
    const auto record = wireguard(runner_, seams_, "up", conf_, "1420", paths_);
    EXPECT_EQ(record.logs.at(0), (core::LogEntry{"wg-quick up " + conf_, 0, "", ""}));
    // The copy is what was read, byte for byte, root's alone, in a directory of root's alone.
    EXPECT_EQ(slurp(copy_), text);
    struct stat st {};
    ASSERT_EQ(::stat(copy_.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    ASSERT_EQ(::stat(paths_.private_dir.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0700u);
}

// A second up replaces the running tunnel instead of failing on it, and down finds what up
// brought up whatever the caller names then; a copy wg-quick could not bring up is not kept.
TEST_F(Wireguard, UpIsRepeatableAndDownUsesTheCopy) {
    path_with_wg_quick();
    wireguard(runner_, seams_, "up", conf_, "1420", paths_);
    testing::FakeRunner again;
    const auto record = wireguard(again, seams_, "up", conf_, "1420", paths_);
    EXPECT_EQ(again.calls,
              (std::vector<Argv>{{"wg-quick", "down", copy_}, kDel, {"wg-quick", "up", copy_}, kWgShow}));
    EXPECT_TRUE(record.ok);
    for (const std::string& other : {std::string(), (dir_ / "missing.conf").string()}) {
        SCOPED_TRACE(other);
        wireguard(runner_, seams_, "up", conf_, "1420", paths_);
        testing::FakeRunner down;
        const auto rec = wireguard(down, seams_, "down", other, "1420", paths_);
        EXPECT_EQ(down.calls, (std::vector<Argv>{{"wg-quick", "down", copy_}, kDel}));
        EXPECT_EQ(rec.logs.at(0).cmd, "wg-quick down " + (other.empty() ? copy_ : other));
        EXPECT_FALSE(fs::exists(copy_));
    }
    testing::FakeRunner failing;
    failing.script({"wg-quick", "up", copy_}, {{1, "", "boom"}});
    wireguard(failing, seams_, "up", conf_, "1420", paths_);
    EXPECT_FALSE(fs::exists(copy_));
    // A refused configuration on a running tunnel: the tunnel goes down through wg-quick with
    // its copy before the bare link replaces it.
    wireguard(runner_, seams_, "up", conf_, "1420", paths_);
    std::ofstream(dir_ / "hook.conf") << "[Interface]\nPostUp = x\n";
    testing::FakeRunner refused;
    wireguard(refused, seams_, "up", (dir_ / "hook.conf").string(), "1420", paths_);
    EXPECT_EQ(std::vector<Argv>(refused.calls.begin(), refused.calls.begin() + 3),
              (std::vector<Argv>{kModprobe, {"wg-quick", "down", copy_}, kDel}));
    EXPECT_FALSE(fs::exists(copy_));
}

// The start's src_valid_mark goes back with down; the table wg-quick chose is forgotten only
// when wg-quick down took its rules away (otherwise the reset still needs it).
TEST_F(Wireguard, DownPutsTheSettingBackAndKeepsTheTableOnlyWhenWgQuickFailed) {
    path_with_wg_quick();
    const Argv sysctl = {"sysctl", "-q", "-w", "net.ipv4.conf.all.src_valid_mark=0"};
    const std::string table = paths_.private_dir + "/tunnel-table";
    for (const int down_rc : {0, 1}) {
        SCOPED_TRACE(down_rc);
        std::ofstream(paths_.src_valid_mark) << "0\n";
        testing::FakeRunner up;
        up.fallback([&](const Argv& a) {
            if (a[0] == "wg-quick") std::ofstream(paths_.src_valid_mark) << "1\n";
            return core::CommandResult{0, a[0] == "wg" ? "0xca6c" : "", ""};
        });
        wireguard(up, seams_, "up", conf_, "1420", paths_);
        ASSERT_TRUE(fs::exists(table));
        testing::FakeRunner down;
        down.script({"wg-quick", "down", copy_}, {{down_rc, "", ""}});
        wireguard(down, seams_, "down", "", "1420", paths_);
        EXPECT_EQ(down.calls, (std::vector<Argv>{{"wg-quick", "down", copy_}, kDel, sysctl}));
        EXPECT_EQ(fs::exists(table), down_rc != 0);
    }
}

// A start that never reached wg-quick, or failed before touching the setting, leaves no record
// that could later take someone else's 1 for the tunnel's.
TEST_F(Wireguard, AStartThatLeftTheSettingAloneLeavesNoRecordOfIt) {
    path_with_wg_quick();
    std::ofstream(dir_ / "hook.conf") << "[Interface]\nPostUp = x\n";
    for (const bool refused : {true, false}) {
        SCOPED_TRACE(refused);
        std::ofstream(paths_.src_valid_mark) << "0\n";
        testing::FakeRunner runner;
        runner.script({"wg-quick", "up", copy_}, {{1, "", "boom"}});
        wireguard(runner, seams_, "up", refused ? (dir_ / "hook.conf").string() : conf_,
                         "1420", paths_);
        EXPECT_FALSE(fs::exists(paths_.private_dir + "/src-valid-mark"));
    }
}

// An up after the tunnel died first clears what wg-quick left for the recorded table; with the
// link still there, wg-quick down through the copy does that instead.
TEST_F(Wireguard, UpClearsADeadTunnelsLeftoversFirst) {
    path_with_wg_quick();
    const Argv first_leftover = {"ip", "-4", "rule", "del", "not", "fwmark", "51820",
                                 "table", "51820"};
    for (const bool link_there : {false, true}) {
        SCOPED_TRACE(link_there);
        fs::create_directories(paths_.private_dir);
        fs::permissions(paths_.private_dir, fs::perms::owner_all);
        std::ofstream(paths_.private_dir + "/tunnel-table") << "51820\n";
        paths_.link_state = [link_there](const std::string&) -> std::optional<LinkState> {
            if (!link_there) return std::nullopt;
            return LinkState{7, 1420};
        };
        testing::FakeRunner runner;
        runner.fallback([](const Argv&) { return core::CommandResult{2, "", ""}; });
        runner.script({"wg-quick", "up", copy_}, {{0, "", ""}});
        wireguard(runner, seams_, "up", conf_, "1420", paths_);
        EXPECT_EQ(runner.calls.front() == first_leftover, !link_there);
    }
}

TEST_F(Wireguard, APrivateDirectoryThatIsNotRootsAloneIsRefused) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to hand the directory to another owner";
    path_with_wg_quick();
    for (const char* how : {"symlink", "other_owner", "group_writable"}) {
        SCOPED_TRACE(how);
        fs::remove_all(paths_.private_dir);
        const std::string elsewhere = (dir_ / "elsewhere").string();
        fs::create_directories(elsewhere);
        if (std::string(how) == "symlink") fs::create_directory_symlink(elsewhere, paths_.private_dir);
        else fs::create_directory(paths_.private_dir);
        if (std::string(how) == "other_owner") { ASSERT_EQ(::chown(paths_.private_dir.c_str(), 65534, 65534), 0); }
        if (std::string(how) == "group_writable") ::chmod(paths_.private_dir.c_str(), 0770);
        testing::FakeRunner runner;
        const auto record = wireguard(runner, seams_, "up", conf_, "1420", paths_);
        EXPECT_EQ(record.logs.at(0).rc, 1);
        EXPECT_EQ(record.logs.at(0).err.rfind("Yapılandırmanın root'a özel kopyası hazırlanamadı: ", 0), 0u);
        EXPECT_FALSE(runs_wg_quick(runner));
        EXPECT_TRUE(fs::is_empty(elsewhere));
    }
}

// With PKEXEC_UID the file is judged with that user's rights: a root-only file is refused
// without a byte of it read, and a path the user cannot even reach counts as absent.
TEST_F(Wireguard, TheCallersRightsDecide) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to read as another user";
    path_with_wg_quick();
    ::chmod(dir_.c_str(), 0755);
    fs::create_directories(dir_ / "closed");
    ::chmod((dir_ / "closed").c_str(), 0700);
    const std::string hidden = (dir_ / "closed" / "x.conf").string();
    std::ofstream(hidden) << "[Interface]\n";
    ::chmod(conf_.c_str(), 0600);
    struct Case {
        const char* uid;
        std::string path;
        std::size_t entries;
        int rc;
        std::string err;
    };
    for (const Case& c : {Case{"65534", conf_, 4, 1, "Yapılandırma dosyası reddedildi: kullanıcı bu dosyayı okuyamıyor (errno 13)."},
                          Case{"65534", hidden, 3, 0, ""},
                          Case{"not-a-uid", conf_, 4, 1, "Yapılandırma dosyası reddedildi: kullanıcı bu dosyayı okuyamıyor (errno 1)."},
                          Case{"0", conf_, 1, 0, ""}}) {
        SCOPED_TRACE(std::string(c.uid) + " " + c.path);
        ::setenv("PKEXEC_UID", c.uid, 1);
        testing::FakeRunner runner;
        const auto record = wireguard(runner, seams_, "up", c.path, "1420", paths_);
        ::unsetenv("PKEXEC_UID");
        EXPECT_EQ(record.logs.size(), c.entries);
        if (c.entries == 3) continue;
        EXPECT_EQ(record.logs[0].rc, c.rc);
        EXPECT_EQ(record.logs[0].err, c.err);
    }
    ::chmod(conf_.c_str(), 0644);
}

// The default-route device: the token after the first "dev" of a successful lookup.
struct RouteCase {
    const char* name;
    core::CommandResult route;
    std::optional<std::string> device;
};

class DefaultRoute : public ::testing::TestWithParam<RouteCase> {};

TEST_P(DefaultRoute, FindsTheDeviceOfTheFirstRoute) {
    EXPECT_EQ(default_route_device(GetParam().route), GetParam().device);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DefaultRoute,
    ::testing::Values(
        RouteCase{"one_route",
                  {0, "default via 192.168.1.1 dev wlp0s20f3 proto dhcp metric 600", ""},
                  "wlp0s20f3"},
        RouteCase{"first_of_two",
                  {0,
                   "default via 10.0.0.1 dev eth0 proto static\n"
                   "default via 192.168.1.1 dev wlan0 metric 600",
                   ""},
                  "eth0"},
        RouteCase{"tabs_and_runs_of_blanks", {0, "default\tvia 10.0.0.1  dev \t enp3s0", ""},
                  "enp3s0"},
        // "dev " is found, but only inside a longer token: no token is exactly "dev".
        RouteCase{"dev_only_inside_a_token", {0, "default via 10.0.0.1 mydev eth0", ""},
                  std::nullopt},
        RouteCase{"no_dev_at_all", {0, "default via 10.0.0.1", ""}, std::nullopt},
        RouteCase{"empty_output", {0, "", ""}, std::nullopt},
        RouteCase{"lookup_failed", {2, "default via 10.0.0.1 dev eth0", "boom"}, std::nullopt},
        RouteCase{"runner_failure",
                  {1, "", "Komut çalıştırma hatası (ip -o -4 route show to default): x"},
                  std::nullopt},
        // Nothing follows the only "dev" token: no device, rather than a guess.
        RouteCase{"dev_is_last_token", {0, "default via 10.0.0.1 xdev y dev", ""},
                  std::nullopt},
        // A no-break space separates tokens as Python's str.split() does.
        RouteCase{"unicode_space_separates", {0, "default dev\xc2\xa0" "eth1 x dev y", ""},
                  "eth1"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(DefaultRouteCmd, IsTheOneLinePerRouteIpv4Query) {
    EXPECT_EQ(kDefaultRouteCmd,
              (std::vector<std::string>{"ip", "-o", "-4", "route", "show", "to", "default"}));
}

}  // namespace
}  // namespace tq8::netops
