// manage_wireguard: the wg-quick tests, both bring-up paths, the fall-back and the take-down.
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include <unistd.h>

#include <gtest/gtest.h>

#include "fake_runner.hpp"
#include "netops/record_printing.hpp"
#include "root_helper/netops/netops.hpp"

namespace tq8::netops {
namespace {

namespace fs = std::filesystem;
using Argv = std::vector<std::string>;

const Argv kModprobe = {"modprobe", "wireguard"};
const Argv kDel = {"ip", "link", "del", "dev", "tq8wg0"};
const Argv kAdd = {"ip", "link", "add", "dev", "tq8wg0", "type", "wireguard"};
const Argv kAddr = {"ip", "address", "add", "10.54.0.2/24", "dev", "tq8wg0"};
const Argv kRoute = {"ip", "-o", "-4", "route", "show", "to", "default"};

Argv link_set(const std::string& mtu) { return {"ip", "link", "set", "mtu", mtu, "up", "dev", "tq8wg0"}; }

// A scratch directory with a configuration file and a directory holding an executable
// wg-quick; PATH is the test's to set and is put back afterwards.
class Wireguard : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/tq8-netops-test.XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
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
        const auto record = manage_wireguard(runner, seams_, "down", c.conf ? conf_ : "", "1420");
        EXPECT_EQ(runner.calls, (std::vector<Argv>{kDel}));
        const core::Record expected{true,
                                    {{"active", false}},
                                    {{"ip link del dev tq8wg0", 1, "", "Cannot find device \"tq8wg0\""}}};
        EXPECT_EQ(record, expected);
    }
}

TEST_F(Wireguard, DownWithWgQuickRunsItFirstAndIgnoresItsFailure) {
    path_with_wg_quick();
    runner_.script({"wg-quick", "down", conf_}, {{1, "", "wg-quick: `tq8' is not a WireGuard interface"}});
    const auto record = manage_wireguard(runner_, seams_, "down", conf_, "1420");
    EXPECT_EQ(runner_.calls, (std::vector<Argv>{{"wg-quick", "down", conf_}, kDel}));
    EXPECT_TRUE(record.ok);
    ASSERT_EQ(record.logs.size(), 2u);
    EXPECT_EQ(record.logs[0], (core::LogEntry{"wg-quick down " + conf_, 1, "",
                                              "wg-quick: `tq8' is not a WireGuard interface"}));
    EXPECT_EQ(record.logs[1].cmd, "ip link del dev tq8wg0");
}

TEST_F(Wireguard, UpThroughWgQuickStopsAtItsSuccess) {
    path_with_wg_quick();
    const auto record = manage_wireguard(runner_, seams_, "up", conf_, "1420");
    EXPECT_EQ(runner_.calls, (std::vector<Argv>{{"wg-quick", "up", conf_}}));
    const core::Record expected{true,
                                {{"active", true}, {"mode", std::string("wg-quick")}},
                                {{"wg-quick up " + conf_, 0, "", ""}}};
    EXPECT_EQ(record, expected);
    EXPECT_TRUE(seams_.set_mtu_calls.empty());
}

TEST_F(Wireguard, FailedWgQuickFallsBackToTheBareLink) {
    path_with_wg_quick();
    runner_.script({"wg-quick", "up", conf_}, {{1, "", "RTNETLINK answers: Operation not supported"}});
    runner_.script(kRoute, {{0, "default via 198.18.0.1 dev eth0", ""}});
    const auto record = manage_wireguard(runner_, seams_, "up", conf_, "1420");
    EXPECT_EQ(runner_.calls, (std::vector<Argv>{{"wg-quick", "up", conf_}, kModprobe, kDel, kAdd,
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
        {"directory_counts_as_something", [](const fs::path& d) { return (d / "empty").string(); }, true},
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
        const auto record = manage_wireguard(runner, seams_, "up", conf, "1420");
        EXPECT_EQ(runner.calls.front() == (Argv{"wg-quick", "up", conf}), c.uses_wg_quick);
        EXPECT_EQ(record.logs.size(), c.uses_wg_quick ? 1u : 3u);
    }
}

TEST_F(Wireguard, EmptyPathElementMeansTheCurrentDirectory) {
    for (const char* path : {"", ":/nonexistent", "/nonexistent:"}) {
        SCOPED_TRACE(path);
        ::setenv("PATH", path, 1);
        fs::current_path(dir_ / "bin");
        testing::FakeRunner runner;
        manage_wireguard(runner, seams_, "up", conf_, "1420");
        EXPECT_EQ(runner.calls.front(), (Argv{"wg-quick", "up", conf_}));
        fs::current_path(dir_);
        testing::FakeRunner elsewhere;
        manage_wireguard(elsewhere, seams_, "up", conf_, "1420");
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
        const auto record = manage_wireguard(runner, seams, "up", "", "1420");
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
        manage_wireguard(runner, seams_, action, "", "1420");
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
        const auto record = manage_wireguard(runner, seams, "up", "", c.decimal);
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
        const auto record = manage_wireguard(runner, seams, "up", "", "1420");
        EXPECT_TRUE(seams.set_mtu_calls.empty());
        EXPECT_EQ(record.logs.size(), 3u);
    }
}

}  // namespace
}  // namespace tq8::netops
