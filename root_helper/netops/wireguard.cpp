// manage_wireguard: the tq8wg0 tunnel, through wg-quick or as a bare link built with ip.
#include <charconv>
#include <cstdlib>
#include <string_view>

#include <sys/stat.h>
#include <unistd.h>

#include "root_helper/core/constants.hpp"
#include "root_helper/core/texts.hpp"
#include "root_helper/netops/netops.hpp"

namespace tq8::netops {

namespace {

const std::string kBareAddress = "10.54.0.2/24";
const std::string kWgQuick = "wg-quick";

// What the runner's own lookup (posix_spawnp) falls back to when PATH is unset, so that the
// test and the run look in the same places.
constexpr std::string_view kDefaultPath = "/bin:/usr/bin";

bool executable_file(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

// As a shell finds a command: each PATH element in turn, an empty one meaning the current
// directory.
bool wg_quick_installed() {
    const char* env = std::getenv("PATH");
    std::string_view path = env ? std::string_view(env) : kDefaultPath;
    while (true) {
        const auto colon = path.find(':');
        const std::string_view dir = path.substr(0, colon);
        std::string candidate = dir.empty() ? std::string(".") : std::string(dir);
        candidate += '/';
        candidate += kWgQuick;
        if (executable_file(candidate)) return true;
        if (colon == std::string_view::npos) return false;
        path.remove_prefix(colon + 1);
    }
}

// The three tests, in order, each only when the ones before passed. The status query follows
// links, so a dangling link counts as no configuration.
bool use_wg_quick(const std::string& conf_path) {
    if (conf_path.empty()) return false;
    // A path with a NUL byte names nothing; the status query must not see a shorter path.
    if (conf_path.find('\0') != std::string::npos) return false;
    struct stat st {};
    if (::stat(conf_path.c_str(), &st) != 0) return false;
    return wg_quick_installed();
}

// The MTU goes back to the caller as the integer it passed: a plain integer when it fits,
// otherwise its decimal text, which the binding turns back into an integer.
core::Value mtu_value(const std::string& mtu_decimal) {
    long long v = 0;
    const char* first = mtu_decimal.data();
    const char* last = first + mtu_decimal.size();
    const auto [end, ec] = std::from_chars(first, last, v);
    if (ec == std::errc() && end == last) return v;
    return core::BigInt{mtu_decimal};
}

core::Record take_down(core::CommandRunner& runner, const std::string& conf_path) {
    core::Record record;
    const std::string& iface = core::kTunnelIface;
    if (use_wg_quick(conf_path))
        record.logs.push_back(core::log_entry(texts::wg_quick_down_cmd(conf_path),
                                              runner.run({kWgQuick, "down", conf_path})));
    // Always, because wg-quick may have failed or the link may have been built bare.
    record.logs.push_back(core::log_entry(texts::link_del_cmd(iface),
                                          runner.run({"ip", "link", "del", "dev", iface})));
    record.ok = true;
    record.state = {{"active", false}};
    return record;
}

}  // namespace

core::Record manage_wireguard(core::CommandRunner& runner, core::Seams& seams,
                              const std::string& action, const std::string& conf_path,
                              const std::string& mtu_decimal) {
    if (action == "down") return take_down(runner, conf_path);

    core::Record record;
    const std::string& iface = core::kTunnelIface;
    if (use_wg_quick(conf_path)) {
        const auto up = runner.run({kWgQuick, "up", conf_path});
        record.logs.push_back(core::log_entry(texts::wg_quick_up_cmd(conf_path), up));
        if (up.rc == 0) {
            record.ok = true;
            record.state = {{"active", true}, {"mode", kWgQuick}};
            return record;
        }
        // A failed wg-quick stays first in the logs and the bare link is tried instead.
    }

    runner.run({"modprobe", "wireguard"});
    // A link left over from an earlier run would make the add fail.
    runner.run({"ip", "link", "del", "dev", iface});
    const auto add = runner.run({"ip", "link", "add", "dev", iface, "type", "wireguard"});
    record.logs.push_back(core::log_entry(texts::link_add_cmd(iface), add));
    record.logs.push_back(core::log_entry(
        texts::address_add_cmd(iface),
        runner.run({"ip", "address", "add", kBareAddress, "dev", iface})));
    const auto set = runner.run({"ip", "link", "set", "mtu", mtu_decimal, "up", "dev", iface});
    record.logs.push_back(core::log_entry(texts::link_set_up_cmd(mtu_decimal, iface), set));

    // The physical device gets the tunnel's MTU too, within set_mtu's limits, and with it the
    // MSS clamp. What set_mtu reports is not part of this operation's record.
    if (const auto phys_dev = default_route_device(runner.run(kDefaultRouteCmd)))
        seams.set_mtu(*phys_dev, mtu_decimal);

    record.ok = add.rc == 0 && set.rc == 0;
    record.state = {{"active", add.rc == 0}, {"interface", iface}, {"mtu", mtu_value(mtu_decimal)}};
    return record;
}

}  // namespace tq8::netops
