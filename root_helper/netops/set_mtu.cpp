// set_mtu: an interface's MTU, and the MSS clamp that keeps TCP working below it; the MTUs the
// helper changed, remembered at the first change and put back by the reset.
#include <algorithm>
#include <string_view>

#include "root_helper/core/saturating_int.hpp"
#include "root_helper/core/text_decode.hpp"
#include "root_helper/core/texts.hpp"
#include "root_helper/netops/netops.hpp"

namespace tq8::netops {

namespace {

// One line per device: "<name> <index> <own MTU> <MTU the helper set>". Link names hold no
// white space (the kernel refuses it), so the line splits unambiguously.
const std::string kMtuFile = "mtus";

struct Remembered {
    std::string device;
    LinkState own;     // the link as it was before the helper's first change
    long long set = 0; // the MTU the helper gave it last
};

// "ip link set dev <device> mtu <mtu>": set_mtu's command, and the reset's when it gives the
// physical device its MTU back.
std::vector<std::string> link_mtu_command(const std::string& device, long long mtu) {
    return {"ip", "link", "set", "dev", device, "mtu", std::to_string(mtu)};
}

// A line that does not parse is dropped: the record is root's own, so it can only be damaged,
// and forgetting is the conservative answer (the MTU is then left alone).
std::vector<Remembered> load(const TunnelPaths& state) {
    std::vector<Remembered> out;
    const std::string text = read_private_file(state, kMtuFile).value_or("");
    // A text that ends in "\n" (or none) splits into one more, empty, piece: it has no fields.
    for (const std::string_view line : core::split_lines(text)) {
        const auto fields = core::split_whitespace(line);
        if (fields.size() != 4) continue;
        const auto index = core::parse_saturating(fields[1]);
        const auto own = core::parse_saturating(fields[2]);
        const auto set = core::parse_saturating(fields[3]);
        if (!index || !own || !set) continue;
        out.push_back({std::string(fields[0]), {static_cast<int>(*index), *own}, *set});
    }
    return out;
}

// Without its state directory the helper cannot remember; the change itself stands.
void store(const TunnelPaths& state, const std::vector<Remembered>& entries) {
    std::string text;
    for (const auto& e : entries)
        text += e.device + " " + std::to_string(e.own.index) + " " + std::to_string(e.own.mtu) +
                " " + std::to_string(e.set) + "\n";
    if (text.empty()) remove_private_file(state, kMtuFile);
    else write_private_file(state, kMtuFile, text);
}

// device went from before to after (nullopt: no such link now) through the helper; the first
// change keeps "before" as the device's own MTU, later ones only update what the helper set.
void remember_mtu(const TunnelPaths& state, const std::string& device, const LinkState& before,
                  const std::optional<LinkState>& after) {
    // The same link throughout, or the change cannot be told apart from someone else's.
    if (!after || before.index != after->index) return;
    auto entries = load(state);
    const auto e = std::ranges::find(entries, device, &Remembered::device);
    if (e == entries.end() && before.mtu == after->mtu) return;  // nothing to put back
    if (e == entries.end()) {
        entries.push_back({device, before, after->mtu});
    } else {
        // A link made again since: what was remembered belonged to the old one.
        if (e->own.index != after->index) e->own = before;
        e->set = after->mtu;
    }
    store(state, entries);
}

}  // namespace

std::vector<std::string> mss_clamp_command(const char* rule_command) {
    // No interface and no "-w": the rule is for every connection request leaving or forwarded.
    return {"iptables", "-t", "mangle", rule_command, "POSTROUTING", "-p", "tcp", "--tcp-flags",
            "SYN,RST", "SYN", "-j", "TCPMSS", "--clamp-mss-to-pmtu"};
}

core::Record set_mtu(core::CommandRunner& runner, const std::string& interface, long long mtu,
                     const TunnelPaths& state) {
    // Silent: the record's "mtu" is what the caller learns about the clamping.
    const long long clamped = std::clamp<long long>(mtu, kMinLinkMtu, kEthernetMtu);

    std::vector<core::LogEntry> logs;
    const auto before = state.link_state(interface);
    const auto set = core::run_logged(runner, logs, link_mtu_command(interface, clamped));
    // What the link has now is what the helper set: the kernel's answer, not the request.
    if (before && set.rc == 0) remember_mtu(state, interface, *before, state.link_state(interface));

    // Checked first so that repeated calls leave a single copy of the rule; a check that
    // cannot run at all counts as "missing" and the add reports why.
    if (runner.run(mss_clamp_command("-C")).rc != 0)
        core::run_logged(runner, logs, std::string(texts::kMssClampCmd), mss_clamp_command("-A"));
    return {set.rc == 0, {{"mtu", clamped}, {"interface", interface}}, std::move(logs)};
}

void restore_mtus(core::CommandRunner& runner, const TunnelPaths& state,
                  std::vector<core::LogEntry>& logs) {
    std::vector<Remembered> failed;
    for (const auto& e : load(state)) {
        const auto now = state.link_state(e.device);
        // Gone, made again, or given another MTU since: the link's MTU is not the helper's.
        if (!now || now->index != e.own.index || now->mtu != e.set || e.own.mtu == e.set)
            continue;
        const auto cmd = link_mtu_command(e.device, e.own.mtu);
        if (core::run_logged(runner, logs, cmd).rc != 0) failed.push_back(e);
    }
    store(state, failed);
}

}  // namespace tq8::netops
