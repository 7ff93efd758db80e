// The helper's root-only state: the directory and its files, the kernel's view of a link, and
// what a wg-quick start changes beyond its link, recorded when it comes up and undone after it.
#include <cerrno>
#include <charconv>
#include <cstring>
#include <string_view>
#include <utility>

#include <fcntl.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "root_helper/core/constants.hpp"
#include "root_helper/core/safe_replace.hpp"
#include "root_helper/core/system_util.hpp"
#include "root_helper/core/text_decode.hpp"
#include "root_helper/netops/netops.hpp"

namespace tq8::netops {

namespace {

// Far above anything the helper writes there, small enough to read whole.
constexpr std::size_t kMaxStateFile = 64 * 1024;

// "<table>\n": the routing table (and fwmark) wg-quick chose for a full tunnel.
const std::string kTableFile = "tunnel-table";
// "<before> <tunnel's>\n": src_valid_mark before the start, and what the start made it.
const std::string kMarkFile = "src-valid-mark";

// The only value wg-quick gives src_valid_mark.
const std::string kTunnelMark = "1";

// Each delete removes one copy; wg-quick adds one per start, so a handful is already many.
constexpr int kMaxDeletes = 16;

// wg-quick tags each firewall rule it adds for a full tunnel with a comment; iptables-save lists
// it as this match.
const std::string kRuleMark =
    "-m comment --comment \"wg-quick(8) rule for " + core::kTunnelIface + "\"";

std::string first_token(std::string_view text) {
    const auto parts = core::split_whitespace(text);
    return parts.empty() ? std::string() : std::string(parts[0]);
}

// Deletes rule (an "ip -4|-6 rule del ..." vector) until none is left; how many went.
int delete_all(core::CommandRunner& runner, const std::vector<std::string>& rule) {
    int deleted = 0;
    while (deleted < kMaxDeletes && runner.run(rule).rc == 0) ++deleted;
    return deleted;
}

void remove_policy_rules(core::CommandRunner& runner, const std::string& family,
                         const std::string& table) {
    const std::vector<std::string> ours = {"ip", family, "rule", "del", "not", "fwmark", table,
                                           "table", table};
    // wg-quick adds the main table's rule together with its own; it is shared by every full
    // tunnel, so it goes only with ours and only when no other tunnel's rule is left.
    if (delete_all(runner, ours) == 0) return;
    const auto show = runner.run({"ip", family, "rule", "show"});
    if (show.rc != 0 || show.out.find("not from all fwmark") != std::string::npos) return;
    delete_all(runner, {"ip", family, "rule", "del", "table", "main", "suppress_prefixlength", "0"});
}

// Every rule that iptables-save lists with wg-quick's comment for our link, deleted in its
// table, exactly as listed.
void remove_firewall_rules(core::CommandRunner& runner, const std::string& program) {
    const auto save = runner.run({program + "-save"});
    if (save.rc != 0) return;
    std::string table;
    for (const std::string_view line : core::split_lines(save.out)) {
        if (line.starts_with('*')) table = std::string(line.substr(1));
        if (table.empty() || !line.starts_with("-A ") || line.find(kRuleMark) == std::string::npos)
            continue;
        // The rule's own arguments, "-A" turned into "-D", in its table.
        auto args = save_line_arguments(line);
        if (!args) continue;
        args->front() = "-D";
        args->insert(args->begin(), {program, "-t", table});
        runner.run(*args);
    }
}

// The setting's value; empty when it cannot be read.
std::string read_src_valid_mark(const TunnelPaths& state) {
    const auto text = core::read_whole_file(state.src_valid_mark);
    return text ? first_token(*text) : std::string();
}

}  // namespace

std::optional<core::UniqueFd> open_private_dir(const TunnelPaths& paths, bool create,
                                               std::string* error) {
    const std::string& dir = paths.private_dir;
    const auto failed = [&](int err) -> std::optional<core::UniqueFd> {
        if (error) *error = core::errno_text(err, dir);
        return std::nullopt;
    };
    if (create && ::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) return failed(errno);
    core::UniqueFd fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd) return failed(errno);
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0 || st.st_uid != ::geteuid() || (st.st_mode & 022) != 0)
        return failed(EPERM);
    if ((st.st_mode & 077) != 0) ::fchmod(fd.get(), 0700);
    return fd;
}

std::optional<std::string> write_private_file(const TunnelPaths& paths, const std::string& name,
                                              std::string_view content) {
    std::string error;
    auto dir = open_private_dir(paths, true, &error);
    if (!dir) return error;
    if (int err = core::replace_file(dir->get(), name, content, {}))
        return core::errno_text(err, paths.private_dir + "/" + name);
    return std::nullopt;
}

std::optional<std::string> read_private_file(const TunnelPaths& paths, const std::string& name) {
    auto dir = open_private_dir(paths, false, nullptr);
    if (!dir) return std::nullopt;
    core::UniqueFd fd(::openat(dir->get(), name.c_str(),
                               O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat st {};
    if (!fd || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
    return core::read_to_end(fd.get(), kMaxStateFile);
}

void remove_private_file(const TunnelPaths& paths, const std::string& name) {
    if (auto dir = open_private_dir(paths, false, nullptr)) ::unlinkat(dir->get(), name.c_str(), 0);
}

std::optional<LinkState> read_link_state(const std::string& device) {
    // The kernel's own limit on names; a longer one would be cut short and name another link.
    if (device.empty() || device.size() >= IFNAMSIZ || device.find('\0') != std::string::npos)
        return std::nullopt;
    core::UniqueFd sock(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!sock) sock = core::UniqueFd(::socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!sock) return std::nullopt;
    struct ifreq ifr {};
    std::memcpy(ifr.ifr_name, device.data(), device.size());
    if (::ioctl(sock.get(), SIOCGIFINDEX, &ifr) != 0) return std::nullopt;
    const int index = ifr.ifr_ifindex;
    if (::ioctl(sock.get(), SIOCGIFMTU, &ifr) != 0) return std::nullopt;
    return LinkState{index, ifr.ifr_mtu};
}

std::optional<std::vector<std::string>> save_line_arguments(std::string_view line) {
    std::vector<std::string> args;
    bool quoted = false;
    bool between = true;  // no argument is open
    for (std::size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (!quoted && (c == ' ' || c == '\t')) {
            between = true;
            continue;
        }
        if (std::exchange(between, false)) args.emplace_back();
        if (c == '"')
            quoted = !quoted;
        else
            args.back() += (quoted && c == '\\' && i + 1 < line.size()) ? line[++i] : c;
    }
    if (quoted) return std::nullopt;
    return args;
}

void remember_src_valid_mark(const TunnelPaths& state) {
    // An earlier start that was never taken down keeps its record: its "before" is the
    // machine's own value, the one read now may already be the tunnel's.
    if (read_private_file(state, kMarkFile)) return;
    const std::string now = read_src_valid_mark(state);
    if (!now.empty() && now != kTunnelMark)
        write_private_file(state, kMarkFile, now + " " + kTunnelMark + "\n");
}

void note_tunnel_start(core::CommandRunner& runner, const TunnelPaths& state, bool up) {
    // A start that was refused, failed early or is not a full tunnel left it alone: a 1 set
    // later by someone else must not be taken for the tunnel's.
    if (read_src_valid_mark(state) != kTunnelMark) remove_private_file(state, kMarkFile);
    if (!up) return;
    // "wg show <if> fwmark" prints "0x" and the mark in hex, or "off".
    const auto show = runner.run({"wg", "show", core::kTunnelIface, "fwmark"});
    const std::string mark = first_token(show.out);
    const char* end = mark.data() + mark.size();
    unsigned long table = 0;
    if (show.rc == 0 && mark.starts_with("0x") &&
        std::from_chars(mark.data() + 2, end, table, 16).ptr == end && table != 0 &&
        table <= 0xffffffffUL)
        write_private_file(state, kTableFile, std::to_string(table) + "\n");
    else
        forget_tunnel_table(state);
}

void restore_src_valid_mark(core::CommandRunner& runner, const TunnelPaths& state) {
    // No record at all reads as an empty one: nothing to put back, nothing left to forget.
    const std::string record = read_private_file(state, kMarkFile).value_or("");
    const auto fields = core::split_whitespace(record);
    // Only a value the tunnel set is put back: one set since is someone else's.
    if (fields.size() == 2 && read_src_valid_mark(state) == fields[1] &&
        fields[0].find_first_not_of("0123456789") == std::string_view::npos) {
        const std::string setting = "net.ipv4.conf.all.src_valid_mark=" + std::string(fields[0]);
        if (runner.run({"sysctl", "-q", "-w", setting}).rc != 0) return;  // a later run retries
    }
    remove_private_file(state, kMarkFile);
}

void remove_tunnel_leftovers(core::CommandRunner& runner, const TunnelPaths& state) {
    const std::string table = first_token(read_private_file(state, kTableFile).value_or(""));
    if (!table.empty() && table.find_first_not_of("0123456789") == std::string::npos) {
        for (const char* family : {"-4", "-6"}) remove_policy_rules(runner, family, table);
        for (const char* tool : {"iptables", "ip6tables"}) remove_firewall_rules(runner, tool);
        // Where nft is installed, wg-quick puts the same rules in tables of its own instead.
        if (core::on_path("nft"))
            for (const char* family : {"ip", "ip6"})
                runner.run({"nft", "delete", "table", family, "wg-quick-" + core::kTunnelIface});
    }
    forget_tunnel_table(state);
}

void forget_tunnel_table(const TunnelPaths& state) { remove_private_file(state, kTableFile); }

}  // namespace tq8::netops
