// emergency_network_reset against a scripted runner and resolver files in a scratch directory.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "fake_runner.hpp"
#include "root_helper/netops/netops.hpp"
#include "scratch_dir.hpp"

namespace fs = std::filesystem;
using tq8::core::CommandResult;
using tq8::core::LogEntry;
using tq8::netops::emergency_network_reset;
using tq8::netops::ResolvPaths;
using tq8::testing::FakeRunner;
using tq8::testing::FakeSeams;
using Argv = std::vector<std::string>;

namespace {

const std::string kFallback = "nameserver 1.1.1.1\nnameserver 9.9.9.9\n";
const LogEntry kEntry1{"iptables flush TQ8_KILLSWITCH & TCPMSS", 0, "Temizlendi", ""};
const LogEntry kEntry2a{"ln -sf /run/systemd/resolve/stub-resolv.conf /etc/resolv.conf", 0,
                        "Orijinal systemd-resolved bağlantısı onarıldı.", ""};
const LogEntry kEntry2b{"write /etc/resolv.conf", 0, "Cloudflare & Quad9 DNS yazıldı.", ""};
constexpr const char* kUdpHeader =
    "   sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid\n";
constexpr const char* kShieldLine =
    "  12: 0100007F:14EA 00000000:0000 07 00000000:00000000 00:00000000 00000000  1000\n";
constexpr const char* kStubLine =
    "  40: 3500007F:0035 00000000:0000 07 00000000:00000000 00:00000000 00000000   991\n";

std::string slurp(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void spit(const fs::path& p, const std::string& text) {
    std::ofstream(p, std::ios::binary) << text;
}

// Scratch "etc" and "run" directories; the reset is pointed at them and never at the real ones.
class ResetTest : public ::testing::Test {
protected:
    void SetUp() override {
        root = tq8::testing::scratch_dir("reset-test");
        fs::create_directories(root / "etc");
        fs::create_directories(root / "run");
        paths.resolv_conf = (root / "etc" / "resolv.conf").string();
        paths.stub = (root / "run" / "stub-resolv.conf").string();
        paths.udp_table = (root / "udp").string();
        tunnel.private_dir = (root / "run" / "tq8-wireguard").string();
        fs::create_directory(tunnel.private_dir);
        fs::permissions(tunnel.private_dir, fs::perms::owner_all);
        tunnel.src_valid_mark = (root / "src_valid_mark").string();
        tunnel.link_state = [this](const std::string& dev) -> std::optional<tq8::netops::LinkState> {
            auto it = links.find(dev);
            if (it == links.end()) return std::nullopt;
            return it->second;
        };
    }
    void TearDown() override { fs::remove_all(root); }

    // The stub file, and a UDP table in which resolved's socket is bound (alive) or not.
    void make_stub(bool alive = true) {
        spit(paths.stub, "nameserver 127.0.0.53\n");
        spit(paths.udp_table,
             std::string(kUdpHeader) + kShieldLine + (alive ? kStubLine : ""));
    }
    std::vector<LogEntry> run() { return emergency_network_reset(runner, seams, paths, tunnel).logs; }

    // Hidden temporary names from an interrupted or failed replacement.
    std::vector<std::string> leftovers() const {
        std::vector<std::string> found;
        for (const auto& e : fs::recursive_directory_iterator(root))
            if (e.path().filename().string().find(".tq8-") != std::string::npos)
                found.push_back(e.path().string());
        return found;
    }

    fs::path root;
    ResolvPaths paths;
    tq8::netops::TunnelPaths tunnel;
    std::map<std::string, tq8::netops::LinkState> links;
    FakeRunner runner;
    FakeSeams seams;
};

TEST_F(ResetTest, RunsTheFixedSequenceAndLogsOnlyWhatTheUserNeeds) {
    make_stub();
    runner.script({"systemctl", "restart", "NetworkManager"}, {{5, "o5", "e5"}});
    // The resolver file is repaired before the cache flush, and the redirect goes after the
    // firewall clean-up: remember what had happened when each of those came.
    bool relinked_before_flush = false;
    runner.fallback([&](const Argv& argv) {
        if (argv[0] != "resolvectl") return CommandResult{1, "", "iptables: No chain"};
        relinked_before_flush = fs::is_symlink(paths.resolv_conf);
        return CommandResult{4, "o4", "e4"};
    });
    struct OrderSeams : FakeSeams {
        FakeRunner* r = nullptr;
        std::size_t calls_at_redirect = 0;
        bool remove_dns_redirect() override {
            calls_at_redirect = r->calls.size();
            return FakeSeams::remove_dns_redirect();
        }
    } order;
    order.r = &runner;

    auto record = emergency_network_reset(runner, order, paths, tunnel);

    // Nothing remembered: no MTU is touched and no route is looked up.
    const std::vector<Argv> expected = {
        {"iptables", "-D", "OUTPUT", "-j", "TQ8_KILLSWITCH"},
        {"iptables", "-F", "TQ8_KILLSWITCH"},
        {"iptables", "-X", "TQ8_KILLSWITCH"},
        {"iptables", "-t", "mangle", "-D", "POSTROUTING", "-p", "tcp", "--tcp-flags", "SYN,RST",
         "SYN", "-j", "TCPMSS", "--clamp-mss-to-pmtu"},
        {"ip6tables", "-D", "OUTPUT", "-j", "TQ8_KILLSWITCH"},
        {"ip6tables", "-F", "TQ8_KILLSWITCH"},
        {"ip6tables", "-X", "TQ8_KILLSWITCH"},
        {"ip", "link", "del", "dev", "tq8wg0"},
        {"resolvectl", "flush-caches"},
        {"systemctl", "restart", "NetworkManager"},
    };
    EXPECT_EQ(runner.calls, expected);
    EXPECT_EQ(order.remove_calls, 1);
    EXPECT_EQ(order.calls_at_redirect, 7u);
    EXPECT_TRUE(relinked_before_flush);
    EXPECT_TRUE(record.ok);
    EXPECT_TRUE(record.state.empty());
    EXPECT_EQ(record.logs, (std::vector<LogEntry>{
                               kEntry1,
                               kEntry2a,
                               {"resolvectl flush-caches", 4, "o4", "e4"},
                               {"systemctl restart NetworkManager", 5, "o5", "e5"},
                           }));
}

// A wg-quick tunnel is taken down with the private copy it came up from (its routes and rules
// go with it), before the link delete, and the copy goes too. Only when that down fails (the
// tunnel had died) are the recorded table's leftovers removed; either way the table is
// forgotten.
TEST_F(ResetTest, TakesAWgQuickTunnelDownWithItsCopyOrItsLeftoversAway) {
    make_stub();
    const std::string copy = tunnel.private_dir + "/tq8wg0.conf";
    const Argv down = {"wg-quick", "down", copy};
    const Argv del = {"ip", "link", "del", "dev", "tq8wg0"};
    const Argv first_leftover = {"ip", "-4", "rule", "del", "not", "fwmark", "51820",
                                 "table", "51820"};
    for (const int down_rc : {0, 1}) {
        SCOPED_TRACE(down_rc);
        spit(copy, "[Interface]\n");
        spit(tunnel.private_dir + "/tunnel-table", "51820\n");
        FakeRunner r;
        r.script(down, {{down_rc, "", ""}});
        r.fallback([](const Argv&) { return CommandResult{2, "", ""}; });
        emergency_network_reset(r, seams, paths, tunnel);
        ASSERT_GE(r.calls.size(), 10u);
        EXPECT_EQ(r.calls[7], down);
        EXPECT_EQ(r.calls[8], del);
        EXPECT_EQ(r.calls[9] == first_leftover, down_rc != 0);
        EXPECT_FALSE(fs::exists(copy));
        EXPECT_FALSE(fs::exists(tunnel.private_dir + "/tunnel-table"));
    }
}

TEST_F(ResetTest, LogsTheDeviceEntryAndFailuresWithoutChangingOk) {
    make_stub();
    const CommandResult missing{1, "", "Komut çalıştırma hatası (x): yok"};
    runner.default_result = missing;
    spit(tunnel.private_dir + "/mtus", "veth-a 7 1500 1420\n");
    links = {{"veth-a", {7, 1420}}};
    seams.remove_result = false;

    auto record = emergency_network_reset(runner, seams, paths, tunnel);

    EXPECT_TRUE(record.ok);
    EXPECT_EQ(record.logs, (std::vector<LogEntry>{
                               kEntry1,
                               kEntry2a,
                               {"ip link set dev veth-a mtu 1500", 1, "", missing.err},
                               {"resolvectl flush-caches", 1, "", missing.err},
                               {"systemctl restart NetworkManager", 1, "", missing.err},
                           }));
}

// Each remembered device: put back only while it is the same link with the MTU the helper
// set; the memory goes, except a restore that failed.
TEST_F(ResetTest, PutsBackOnlyTheMtusTheHelperSetAndStillHolds) {
    make_stub();
    spit(tunnel.private_dir + "/mtus",
         "ppp0 2 1492 1420\n"   // still as the helper left it: back to 1492
         "eth1 3 1500 1420\n"   // someone set 1400 since: theirs
         "eth2 4 1500 1420\n"   // deleted and made again: another link
         "eth3 5 1500 1420\n"   // gone
         "eth4 6 1500 1420\n"   // restore fails: kept for the next reset
         "broken line\n");
    links = {{"ppp0", {2, 1420}}, {"eth1", {3, 1400}}, {"eth2", {9, 1420}}, {"eth4", {6, 1420}}};
    runner.script({"ip", "link", "set", "dev", "eth4", "mtu", "1500"}, {{2, "", "busy"}});
    auto logs = run();
    std::vector<Argv> mtu_calls;
    for (const auto& argv : runner.calls)
        if (argv.size() > 2 && argv[1] == "link" && argv[2] == "set") mtu_calls.push_back(argv);
    EXPECT_EQ(mtu_calls, (std::vector<Argv>{{"ip", "link", "set", "dev", "ppp0", "mtu", "1492"},
                                            {"ip", "link", "set", "dev", "eth4", "mtu", "1500"}}));
    EXPECT_EQ(logs, (std::vector<LogEntry>{kEntry1,
                                           kEntry2a,
                                           {"ip link set dev ppp0 mtu 1492", 0, "", ""},
                                           {"ip link set dev eth4 mtu 1500", 2, "", "busy"},
                                           {"resolvectl flush-caches", 0, "", ""},
                                           {"systemctl restart NetworkManager", 0, "", ""}}));
    EXPECT_EQ(slurp(tunnel.private_dir + "/mtus"), "eth4 6 1500 1420\n");
}

// The start's src_valid_mark goes back only while it still has the tunnel's value.
TEST_F(ResetTest, PutsSrcValidMarkBackOnlyFromTheTunnelsValue) {
    make_stub();
    const Argv sysctl = {"sysctl", "-q", "-w", "net.ipv4.conf.all.src_valid_mark=0"};
    for (const char* now : {"1\n", "0\n"}) {
        SCOPED_TRACE(now);
        spit(tunnel.private_dir + "/src-valid-mark", "0 1\n");
        spit(tunnel.src_valid_mark, now);
        FakeRunner r;
        emergency_network_reset(r, seams, paths, tunnel);
        EXPECT_EQ(std::count(r.calls.begin(), r.calls.end(), sysctl), now[0] == '1' ? 1 : 0);
        EXPECT_FALSE(fs::exists(tunnel.private_dir + "/src-valid-mark"));
    }
}

// Starting states of the resolver file, with and without the stub file.
TEST_F(ResetTest, RepairsEachStartingState) {
    enum class Start { kRegular, kLinkToStub, kDangling, kAbsent, kLinkToOther, kRelativeChain };
    struct Case {
        const char* name;
        Start start;
        bool stub;
        LogEntry entry;
    };
    const std::vector<Case> cases = {
        {"regular file, stub", Start::kRegular, true, kEntry2a},
        {"link to stub, stub", Start::kLinkToStub, true, kEntry2a},
        {"dangling link, stub", Start::kDangling, true, kEntry2a},
        {"absent, stub", Start::kAbsent, true, kEntry2a},
        {"link to other file, stub", Start::kLinkToOther, true, kEntry2a},
        {"regular file, no stub", Start::kRegular, false, kEntry2b},
        {"dangling link, no stub", Start::kDangling, false, kEntry2b},
        {"absent, no stub", Start::kAbsent, false, kEntry2b},
        {"link to other file, no stub", Start::kLinkToOther, false, kEntry2b},
        {"relative chain, no stub", Start::kRelativeChain, false, kEntry2b},
    };
    const fs::path resolv = paths.resolv_conf;
    const fs::path other = root / "run" / "other.conf";
    const fs::path dangling_target = root / "run" / "gone.conf";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(root / "etc");
        fs::remove_all(root / "run");
        fs::create_directories(root / "etc");
        fs::create_directories(root / "run");
        if (c.stub) make_stub();
        switch (c.start) {
            case Start::kRegular: spit(resolv, "nameserver 198.18.0.9\n"); break;
            case Start::kLinkToStub: fs::create_symlink(paths.stub, resolv); break;
            case Start::kDangling: fs::create_symlink(dangling_target, resolv); break;
            case Start::kAbsent: break;
            case Start::kLinkToOther:
                spit(other, "nameserver 198.18.0.8\n");
                fs::create_symlink(other, resolv);
                break;
            case Start::kRelativeChain:
                spit(other, "nameserver 198.18.0.8\n");
                fs::create_symlink("../run/hop", resolv);
                fs::create_symlink("other.conf", root / "run" / "hop");
                break;
        }
        ::mode_t old_umask = ::umask(077);
        FakeRunner r;
        FakeSeams s;
        auto logs = emergency_network_reset(r, s, paths, tunnel).logs;
        ::umask(old_umask);

        ASSERT_EQ(logs.size(), 4u);
        EXPECT_EQ(logs[1], c.entry);
        EXPECT_EQ(leftovers(), std::vector<std::string>{});
        if (c.stub) {
            ASSERT_TRUE(fs::is_symlink(resolv));
            EXPECT_EQ(fs::read_symlink(resolv), paths.stub);
            if (c.start == Start::kLinkToOther) {
                EXPECT_EQ(slurp(other), "nameserver 198.18.0.8\n");
            }
            continue;
        }
        // Without the stub the text goes wherever an ordinary write through the path lands,
        // and links on the way stay links.
        // A dangling link is replaced by a regular file.
        fs::path written = resolv;
        if (c.start == Start::kLinkToOther || c.start == Start::kRelativeChain) written = other;
        EXPECT_EQ(fs::is_symlink(resolv), written != resolv);
        EXPECT_EQ(slurp(written), kFallback);
        struct stat st{};
        ASSERT_EQ(::lstat(written.c_str(), &st), 0);
        EXPECT_TRUE(S_ISREG(st.st_mode));
        EXPECT_EQ(st.st_mode & 07777, 0644u);
    }
}

TEST_F(ResetTest, FailureLeavesTheOldStateAndNoTemporaryFile) {
    struct Case {
        const char* name;
        bool stub;
        std::string resolv_conf;  // relative to root
        std::string reported;     // the path the description names, relative to root
        std::string error;
    };
    const std::vector<Case> cases = {
        {"directory in the way, stub", true, "etc/resolv.conf", "etc/resolv.conf",
         "[Errno 21] Is a directory"},
        {"directory in the way, no stub", false, "etc/resolv.conf", "etc/resolv.conf",
         "[Errno 21] Is a directory"},
        {"link to a directory, no stub", false, "etc/link.conf", "run",
         "[Errno 21] Is a directory"},
        {"missing parent, stub", true, "nowhere/resolv.conf", "nowhere/resolv.conf",
         "[Errno 2] No such file or directory"},
        {"missing parent, no stub", false, "nowhere/resolv.conf", "nowhere/resolv.conf",
         "[Errno 2] No such file or directory"},
        {"parent is a file, stub", true, "etc/plain/resolv.conf", "etc/plain/resolv.conf",
         "[Errno 20] Not a directory"},
        {"parent is a file, no stub", false, "etc/plain/resolv.conf", "etc/plain/resolv.conf",
         "[Errno 20] Not a directory"},
    };
    fs::create_directories(root / "etc" / "resolv.conf");
    spit(root / "etc" / "resolv.conf" / "inside", "kept");
    fs::create_symlink(root / "run", root / "etc" / "link.conf");
    spit(root / "etc" / "plain", "plain");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove(paths.stub);
        if (c.stub) make_stub();
        ResolvPaths p = paths;
        p.resolv_conf = (root / c.resolv_conf).string();
        FakeRunner r;
        FakeSeams s;
        auto logs = emergency_network_reset(r, s, p, tunnel).logs;

        ASSERT_EQ(logs.size(), 4u);
        EXPECT_EQ(logs[1].cmd, "restore /etc/resolv.conf");
        EXPECT_EQ(logs[1].rc, 1);
        EXPECT_EQ(logs[1].out, "");
        EXPECT_EQ(logs[1].err, c.error + ": '" + (root / c.reported).string() + "'");
        EXPECT_EQ(logs[2].cmd, "resolvectl flush-caches");
        EXPECT_EQ(leftovers(), std::vector<std::string>{});
        EXPECT_EQ(slurp(root / "etc" / "resolv.conf" / "inside"), "kept");
        EXPECT_EQ(slurp(root / "etc" / "plain"), "plain");
        EXPECT_TRUE(fs::is_symlink(root / "etc" / "link.conf"));
    }
}

// The cases where linking or renaming would leave the machine without DNS or change what
// the file is: a stub file whose resolver is not running, a dangling link into a removed
// resolver's directory, a file with a second name, a non-regular file, a file's own mode.
TEST_F(ResetTest, DeadStubsAndOddTargetsStillGetTheFallback) {
    enum class Start { kDeadStub, kLinkToDeadStub, kNoUdpTable, kGoneDir, kModeGroup, kHardLink, kFifo };
    const struct {
        const char* name;
        Start start;
    } cases[] = {
        {"stub file without its socket", Start::kDeadStub},
        {"link to the stub without its socket", Start::kLinkToDeadStub},
        {"udp table unreadable", Start::kNoUdpTable},
        {"link into a removed directory", Start::kGoneDir},
        {"0640 root:adm keeps its mode and group", Start::kModeGroup},
        {"second hard link sees the text", Start::kHardLink},
        {"a FIFO is written, not replaced", Start::kFifo},
    };
    const fs::path resolv = paths.resolv_conf, second = root / "etc" / "second";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(root / "etc");
        fs::remove_all(root / "run");
        fs::create_directories(root / "etc");
        fs::create_directories(root / "run");
        int reader = -1;
        switch (c.start) {
            case Start::kDeadStub: make_stub(false); spit(resolv, "nameserver 198.18.0.9\n"); break;
            case Start::kLinkToDeadStub: make_stub(false); fs::create_symlink(paths.stub, resolv); break;
            case Start::kNoUdpTable:
                make_stub(true);
                fs::remove(paths.udp_table);
                spit(resolv, "nameserver 198.18.0.9\n");
                break;
            case Start::kGoneDir:
                fs::create_symlink(root / "run" / "systemd" / "resolve" / "stub-resolv.conf", resolv);
                break;
            case Start::kModeGroup:
                spit(resolv, "old\n");
                ASSERT_EQ(::chmod(resolv.c_str(), 0640), 0);
                ASSERT_EQ(::chown(resolv.c_str(), 0, 4), 0);
                break;
            case Start::kHardLink:
                spit(resolv, "old\n");
                fs::create_hard_link(resolv, second);
                break;
            case Start::kFifo:
                ASSERT_EQ(::mkfifo(resolv.c_str(), 0644), 0);
                reader = ::open(resolv.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
                ASSERT_GE(reader, 0);
                break;
        }
        auto logs = run();
        ASSERT_EQ(logs.size(), 4u);
        EXPECT_EQ(logs[1], kEntry2b);
        EXPECT_EQ(leftovers(), std::vector<std::string>{});
        struct stat st{};
        ASSERT_EQ(::lstat(resolv.c_str(), &st), 0);
        if (c.start == Start::kFifo) {
            EXPECT_TRUE(S_ISFIFO(st.st_mode));
            char buf[128] = {};
            ssize_t n = ::read(reader, buf, sizeof buf);
            ::close(reader);
            EXPECT_EQ(std::string(buf, n > 0 ? static_cast<std::size_t>(n) : 0), kFallback);
            continue;
        }
        EXPECT_EQ(slurp(resolv), kFallback);
        ASSERT_TRUE(S_ISREG(st.st_mode));
        if (c.start == Start::kModeGroup) {
            EXPECT_EQ(st.st_mode & 07777, 0640u);
            EXPECT_EQ(st.st_gid, 4u);
        } else {
            EXPECT_EQ(st.st_mode & 07777, 0644u);
        }
        if (c.start == Start::kHardLink) {
            EXPECT_EQ(st.st_nlink, 2u);
            EXPECT_EQ(slurp(second), kFallback);
        }
    }
}

// A write that stops half-way (here the file size limit) must not reach the real file.
TEST_F(ResetTest, PartialWriteKeepsTheOldFile) {
    spit(paths.resolv_conf, "nameserver 198.18.0.9\n");
    struct rlimit old_limit{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old_limit), 0);
    auto old_handler = ::signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = old_limit;
    small.rlim_cur = 10;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    auto logs = run();
    ::setrlimit(RLIMIT_FSIZE, &old_limit);
    ::signal(SIGXFSZ, old_handler);

    ASSERT_EQ(logs.size(), 4u);
    EXPECT_EQ(logs[1].cmd, "restore /etc/resolv.conf");
    EXPECT_EQ(logs[1].err, "[Errno 27] File too large: '" + paths.resolv_conf + "'");
    EXPECT_EQ(slurp(paths.resolv_conf), "nameserver 198.18.0.9\n");
    EXPECT_EQ(leftovers(), std::vector<std::string>{});
}

}  // namespace
