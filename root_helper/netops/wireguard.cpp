// manage_wireguard: the tq8wg0 tunnel, through wg-quick or as a bare link built with ip, and the
// default-route device lookup that gives the physical device the tunnel's MTU.
#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <locale>
#include <optional>
#include <string_view>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "root_helper/core/audit_log.hpp"
#include "root_helper/core/caller_file.hpp"
#include "root_helper/core/constants.hpp"
#include "root_helper/core/saturating_int.hpp"
#include "root_helper/core/system_util.hpp"
#include "root_helper/core/text_decode.hpp"
#include "root_helper/core/texts.hpp"
#include "root_helper/core/unique_fd.hpp"
#include "root_helper/netops/netops.hpp"

namespace tq8::netops {

namespace {

// Whatever the tunnel was built as, it goes with its link.
const std::vector<std::string> kTunnelLinkDeleteCmd = {"ip", "link", "del", "dev",
                                                        core::kTunnelIface};
const std::string kWgQuick = "wg-quick";
const std::string kBareAddress = "10.54.0.2/24";

// Far above any real configuration, small enough to read whole.
constexpr std::size_t kMaxConfSize = 64 * 1024;
// wg-quick names the interface after the file: the copy it is handed is always this one.
const std::string kCopyName = core::kTunnelIface + ".conf";

// The three tests, in order, each only when the ones before passed. The status query is the
// caller's (through read_caller_file, which reads the file at the same time), so the answer
// says nothing about paths the caller could not see; it follows links, so a dangling link
// counts as no configuration.
bool use_wg_quick(const std::optional<core::CallerFile>& file) {
    return file && file->status != core::CallerFile::Status::absent && core::on_path(kWgQuick);
}

// A key as wg-quick matches it: the text before the first "=" of the line without its comment,
// compared case-insensitively after trimming. Only ASCII letters and digits are kept here, so
// blanks of any kind, NUL bytes (which bash's read drops) and other padding cannot hide a key;
// what this refuses beyond wg-quick's own reading is no key wg would accept either.
std::string normalised_key(std::string_view key) {
    // The classic locale's letters and digits are ASCII's, whatever locale the process has.
    const auto& ascii = std::use_facet<std::ctype<char>>(std::locale::classic());
    std::string out;
    for (const char c : key)
        if (ascii.is(std::ctype_base::alnum, c)) out += ascii.tolower(c);
    return out;
}

// Why the caller's configuration may not reach wg-quick, or nullopt. wg-quick runs the hook
// lines as root shell commands, SaveConfig makes it write the file back as root, and it expands
// Address and DNS values unquoted, so a wildcard there would list directories as root.
std::optional<std::string> refusal(const core::CallerFile& file) {
    using Status = core::CallerFile::Status;
    switch (file.status) {
        case Status::ok: break;
        case Status::absent:
        case Status::unreadable: return texts::conf_unreadable(file.error);
        case Status::not_regular: return std::string(texts::kConfNotRegular);
        case Status::system_fs: return std::string(texts::kConfSystemFs);
        case Status::too_large: return std::string(texts::kConfTooLarge);
        case Status::failed: return texts::conf_read_failed(file.error);
    }
    static constexpr std::string_view kHooks[] = {"PreUp", "PostUp", "PreDown", "PostDown",
                                                  "SaveConfig"};
    for (std::string_view line : core::split_lines(file.content)) {
        line = line.substr(0, line.find('#'));
        const auto eq = line.find('=');
        const std::string key = normalised_key(line.substr(0, eq));
        for (const auto name : kHooks)
            if (key == normalised_key(name)) return texts::conf_key_refused(name);
        if ((key == "address" || key == "dns") && eq != std::string_view::npos &&
            line.substr(eq + 1).find_first_of("*?[(") != std::string_view::npos)
            return texts::conf_glob_refused(key == "dns" ? "DNS" : "Address");
    }
    return std::nullopt;
}

std::string copy_path(const TunnelPaths& paths) { return paths.private_dir + "/" + kCopyName; }

// The caller's configuration, checked, as a private copy handed to wg-quick ACTION. For "up",
// whatever an earlier up left is taken down first (unlogged clean-up), so a second up gives a
// working tunnel instead of "already exists"; a copy wg-quick could not bring up is removed,
// and so is the copy after "down".
core::CommandResult run_on_copy(core::CommandRunner& runner, const TunnelPaths& paths,
                                const std::string& wg_action, const std::string& conf_path,
                                const core::CallerFile& file) {
    if (auto reason = refusal(file)) {
        core::audit_refusal("conf=" + core::audit_quote({conf_path}), *reason);
        return {1, "", *reason};
    }
    std::string error;
    if (!open_private_dir(paths, true, &error)) return {1, "", texts::conf_copy_failed(error)};
    if (wg_action == "up") clear_tunnel(runner, paths);
    if (auto e = write_private_file(paths, kCopyName, file.content))
        return {1, "", texts::conf_copy_failed(*e)};
    // wg-quick is looked up on PATH.
    auto result = runner.run({kWgQuick, wg_action, copy_path(paths)});
    if (wg_action == "down" || result.rc != 0) remove_private_file(paths, kCopyName);
    return result;
}

// "wg-quick down" with the private copy a wg-quick up left, when there is one in a directory
// that is root's, and the copy removed: wg-quick's result, nullopt when there was no copy.
std::optional<core::CommandResult> down_from_copy(core::CommandRunner& runner,
                                                  const TunnelPaths& paths) {
    auto dir = open_private_dir(paths, false, nullptr);
    struct stat st {};
    if (!dir || ::fstatat(dir->get(), kCopyName.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
        !S_ISREG(st.st_mode))
        return std::nullopt;
    auto result = runner.run({kWgQuick, "down", copy_path(paths)});
    ::unlinkat(dir->get(), kCopyName.c_str(), 0);
    return result;
}

core::Record take_down(core::CommandRunner& runner, const std::string& conf_path,
                       const std::optional<core::CallerFile>& conf, const TunnelPaths& paths) {
    std::vector<core::LogEntry> logs;
    // What up brought up goes down with the copy it was brought up from, whatever file (or
    // none) the caller names now.
    auto down = core::on_path(kWgQuick) ? down_from_copy(runner, paths) : std::nullopt;
    remove_private_file(paths, kCopyName);
    if (use_wg_quick(conf) && !down) down = run_on_copy(runner, paths, "down", conf_path, *conf);
    const std::string shown = conf_path.empty() ? copy_path(paths) : conf_path;
    if (down) logs.push_back(core::log_entry(texts::wg_quick_down_cmd(shown), *down));
    // Always, because wg-quick may have failed or the link may have been built bare.
    core::run_logged(runner, logs, kTunnelLinkDeleteCmd);
    // wg-quick took its rules with it; when it could not (the tunnel had died), the table
    // stays recorded for the reset, which removes them.
    if (down && down->rc == 0) forget_tunnel_table(paths);
    restore_src_valid_mark(runner, paths);
    return {true, {{"active", false}}, std::move(logs)};
}

}  // namespace

std::optional<core::CommandResult> clear_tunnel(core::CommandRunner& runner,
                                                const TunnelPaths& paths) {
    const auto down = down_from_copy(runner, paths);
    runner.run(kTunnelLinkDeleteCmd);
    return down;
}

std::optional<std::string> default_route_device(const core::CommandResult& route) {
    if (route.rc != 0 || route.out.find("dev ") == std::string::npos) return std::nullopt;
    const auto parts = core::split_whitespace(route.out);
    const auto dev = std::ranges::find(parts, std::string_view("dev"));
    // ip never ends a route line with "dev"; should it ever, there is no device to name, and
    // guessing one would change the MTU of the wrong link.
    if (dev == parts.end() || dev + 1 == parts.end()) return std::nullopt;
    return std::string(dev[1]);
}

std::optional<core::CallerFile> read_tunnel_conf(const std::string& conf_path) {
    // A path with a NUL byte names nothing; the status query must not see a shorter path.
    if (conf_path.empty() || conf_path.find('\0') != std::string::npos) return std::nullopt;
    return core::read_caller_file(conf_path, kMaxConfSize);
}

core::Record manage_wireguard(core::CommandRunner& runner, Seams& seams,
                              const std::string& action, const std::string& conf_path,
                              const std::optional<core::CallerFile>& conf,
                              const std::string& mtu_decimal, const TunnelPaths& paths) {
    if (action == "down") return take_down(runner, conf_path, conf, paths);

    std::vector<core::LogEntry> logs;
    const std::string& iface = core::kTunnelIface;
    // A tunnel that died since its up left wg-quick's rules for its table: the next start
    // would add its own beside them, and only wg-quick down would take both away.
    if (!paths.link_state(iface)) remove_tunnel_leftovers(runner, paths);
    if (use_wg_quick(conf)) {
        remember_src_valid_mark(paths);
        const auto up = run_on_copy(runner, paths, "up", conf_path, *conf);
        logs.push_back(core::log_entry(texts::wg_quick_up_cmd(conf_path), up));
        note_tunnel_start(runner, paths, up.rc == 0);
        if (up.rc == 0) return {true, {{"active", true}, {"mode", kWgQuick}}, std::move(logs)};
        // A failed wg-quick stays first in the logs and the bare link is tried instead.
    }

    runner.run({"modprobe", "wireguard"});
    // A wg-quick tunnel still up (this configuration was refused) goes down through wg-quick,
    // so that its routes and policy rules go with it, before the link is replaced; a link left
    // over from an earlier run would make the add fail.
    clear_tunnel(runner, paths);
    const auto add =
        core::run_logged(runner, logs, {"ip", "link", "add", "dev", iface, "type", "wireguard"});
    core::run_logged(runner, logs, {"ip", "address", "add", kBareAddress, "dev", iface});
    const auto set = core::run_logged(runner, logs,
                                      {"ip", "link", "set", "mtu", mtu_decimal, "up", "dev", iface});

    // The physical device gets the tunnel's MTU too, within set_mtu's limits, and with it the
    // MSS clamp. What set_mtu reports is not part of this operation's record.
    if (const auto phys_dev = default_route_device(runner.run(kDefaultRouteCmd)))
        seams.set_mtu(*phys_dev, mtu_decimal);

    // The MTU goes back to the caller as the integer it passed: a plain integer when it fits,
    // otherwise its decimal text, which the binding turns back into an integer.
    core::Value mtu = core::BigInt{mtu_decimal};
    if (const auto v = core::parse_saturating(mtu_decimal); v && *v > LLONG_MIN && *v < LLONG_MAX)
        mtu = *v;
    return {add.rc == 0 && set.rc == 0,
            {{"active", add.rc == 0}, {"interface", iface}, {"mtu", mtu}}, std::move(logs)};
}

}  // namespace tq8::netops
