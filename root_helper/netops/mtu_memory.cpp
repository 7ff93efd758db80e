// The MTUs the helper changed: remembered at the first change, put back by the reset.
#include <charconv>
#include <string_view>

#include "root_helper/core/text_decode.hpp"
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

std::optional<long long> number(std::string_view s) {
    long long v = 0;
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    if (ec != std::errc() || end != s.data() + s.size()) return std::nullopt;
    return v;
}

// A line that does not parse is dropped: the record is root's own, so it can only be damaged,
// and forgetting is the conservative answer (the MTU is then left alone).
std::vector<Remembered> load(const TunnelPaths& state) {
    std::vector<Remembered> out;
    const auto text = read_private_file(state, kMtuFile);
    if (!text) return out;
    std::string_view rest = *text;
    while (!rest.empty()) {
        const auto nl = rest.find('\n');
        const auto fields = core::split_whitespace(rest.substr(0, nl));
        rest = nl == std::string_view::npos ? std::string_view() : rest.substr(nl + 1);
        if (fields.size() != 4) continue;
        const auto index = number(fields[1]), own = number(fields[2]), set = number(fields[3]);
        if (!index || !own || !set) continue;
        out.push_back({std::string(fields[0]), {static_cast<int>(*index), *own}, *set});
    }
    return out;
}

void store(const TunnelPaths& state, const std::vector<Remembered>& entries) {
    if (entries.empty()) {
        remove_private_file(state, kMtuFile);
        return;
    }
    std::string text;
    for (const auto& e : entries)
        text += e.device + " " + std::to_string(e.own.index) + " " + std::to_string(e.own.mtu) +
                " " + std::to_string(e.set) + "\n";
    // Without its state directory the helper cannot remember; the change itself stands.
    if (auto dir = open_private_dir(state, true, nullptr))
        write_private_file(dir->get(), state, kMtuFile, text);
}

}  // namespace

void remember_mtu(const TunnelPaths& state, const std::string& device, const LinkState& before,
                  const LinkState& after) {
    // The same link throughout, or the change cannot be told apart from someone else's.
    if (before.index != after.index) return;
    auto entries = load(state);
    for (auto& e : entries) {
        if (e.device != device) continue;
        if (e.own.index == after.index) {
            e.set = after.mtu;
        } else {
            // The link was made again since: what was remembered belonged to the old one.
            e.own = before;
            e.set = after.mtu;
        }
        store(state, entries);
        return;
    }
    if (before.mtu == after.mtu) return;  // nothing changed, nothing to put back
    entries.push_back({device, before, after.mtu});
    store(state, entries);
}

void restore_mtus(core::CommandRunner& runner, const TunnelPaths& state,
                  std::vector<core::LogEntry>& logs) {
    std::vector<Remembered> failed;
    for (const auto& e : load(state)) {
        const auto now = state.link_state(e.device);
        // Gone, made again, or given another MTU since: the link's MTU is not the helper's.
        if (!now || now->index != e.own.index || now->mtu != e.set || e.own.mtu == e.set)
            continue;
        const auto cmd = link_mtu_command(e.device, std::to_string(e.own.mtu));
        if (core::run_logged(runner, logs, cmd).rc != 0) failed.push_back(e);
    }
    store(state, failed);
}

}  // namespace tq8::netops
