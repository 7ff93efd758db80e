// A kill switch switch-on against the same iptables commands run by the minimal C spawn loop,
// for n = 0, 50 and 200 split-tunnel networks, with the real iptables (run it in a sandbox:
// bench/killswitch_bench.sh).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <unistd.h>

#include "bench/system_runner.hpp"
#include "root_helper/core/command_runner.hpp"
#include "root_helper/netops/netops.hpp"

extern "C" int spawn_floor_run(char* const argv[], int n);

namespace {

using Clock = std::chrono::steady_clock;
using Argv = std::vector<std::string>;

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const std::size_t m = v.size() / 2;
    return v.size() % 2 ? v[m] : (v[m - 1] + v[m]) / 2;
}

template <class F>
double time_ms(F&& f) {
    const auto t0 = Clock::now();
    f();
    return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

// Runs the real commands and keeps their vectors, so the C loop replays exactly those.
class RecordingRunner final : public tq8::core::CommandRunner {
public:
    tq8::core::CommandResult run(const Argv& cmd) override {
        calls.push_back(cmd);
        return tq8::core::run_cmd(cmd);
    }
    std::vector<Argv> calls;
};

// The C loop over a list of vectors; returns how many did not exit 0.
int c_loop(const std::vector<Argv>& cmds) {
    int failed = 0;
    for (const auto& cmd : cmds) {
        std::vector<char*> argv;
        for (const auto& a : cmd) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        failed += spawn_floor_run(argv.data(), 1);
    }
    return failed;
}

std::vector<std::string> split_networks(int n) {
    std::vector<std::string> nets;
    for (int i = 0; i < n; ++i) nets.push_back("198.18." + std::to_string(i) + ".0/24");
    return nets;
}

struct Figures {
    int n;
    std::size_t commands;
    double c_ms, lib_ms, cmd_ms;  // cmd_ms < 0: no helper command given
    double lib_ratio, cmd_ratio;
};

}  // namespace

// killswitch_bench [--helper PATH_OF_INSTALLED_COMMAND] [--rounds N]
int main(int argc, char** argv) {
    if (!std::getenv("TQ8_IN_SANDBOX")) {
        std::fprintf(stderr, "refusing to change the firewall outside a sandbox: run bench/killswitch_bench.sh\n");
        return 1;
    }
    std::string helper;
    int rounds = 5;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--helper") && i + 1 < argc) helper = argv[++i];
        else if (!std::strcmp(argv[i], "--rounds") && i + 1 < argc) rounds = std::atoi(argv[++i]);
    }
    if (!helper.empty() && ::access(helper.c_str(), X_OK) != 0) {
        std::fprintf(stderr, "no helper command at %s: measuring the library only\n", helper.c_str());
        helper.clear();
    }

    // Rounds outermost, every n inside each round: the machine's load drifts, and the growth
    // with n is only meaningful when the three sizes share the same moments.
    struct Case {
        int n;
        std::vector<std::string> nets;
        std::vector<Argv> cmds;
        std::vector<std::string> helper_cmd;
        std::vector<double> c_ms, lib_ms, cmd_ms, lib_ratio, cmd_ratio;
        int c_failed = 0;
        bool lib_ok = true, cmd_ok = true;
    };
    std::vector<Case> cases;
    for (int n : {0, 50, 200}) {
        Case c{n, split_networks(n), {}, {}, {}, {}, {}, {}, {}};
        RecordingRunner recorder;
        tq8::netops::manage_killswitch(recorder, true, "tq8wg0", c.nets);  // also warms caches
        c.cmds = recorder.calls;
        std::string joined;
        for (const auto& net : c.nets) joined += (joined.empty() ? "" : ",") + net;
        c.helper_cmd = {helper, "killswitch", "--enable", "--split-ips", joined};
        cases.push_back(std::move(c));
    }

    BenchSystemRunner system;
    for (int r = 0; r < rounds; ++r) {
        for (auto& c : cases) {
            // Each run starts from the switched-on chain the one before left, so all three
            // removal commands find something to remove.
            const double cl = time_ms([&] { c.c_failed += c_loop(c.cmds); });
            const double l = time_ms([&] {
                c.lib_ok &= tq8::netops::manage_killswitch(system, true, "tq8wg0", c.nets).ok;
            });
            c.c_ms.push_back(cl);
            c.lib_ms.push_back(l);
            c.lib_ratio.push_back(l / cl);
            if (!helper.empty()) {
                std::vector<char*> hargv;
                for (auto& a : c.helper_cmd) hargv.push_back(a.data());
                hargv.push_back(nullptr);
                const double h = time_ms([&] { c.cmd_ok &= spawn_floor_run(hargv.data(), 1) == 0; });
                c.cmd_ms.push_back(h);
                c.cmd_ratio.push_back(h / cl);
            }
        }
    }

    std::vector<Figures> all;
    for (const auto& c : cases) {
        if (c.c_failed || !c.lib_ok || !c.cmd_ok)
            std::fprintf(stderr, "n=%d: %d C-loop commands failed, library ok %d, command ok %d\n",
                         c.n, c.c_failed, c.lib_ok, c.cmd_ok);
        all.push_back({c.n, c.cmds.size(), median(c.c_ms), median(c.lib_ms),
                       helper.empty() ? -1 : median(c.cmd_ms), median(c.lib_ratio),
                       helper.empty() ? -1 : median(c.cmd_ratio)});
        const Figures& f = all.back();
        std::printf("n=%-3d commands=%-3zu C loop %7.1f ms  library %7.1f ms (x%.3f)", f.n,
                    f.commands, f.c_ms, f.lib_ms, f.lib_ratio);
        if (!helper.empty()) std::printf("  command %7.1f ms (x%.3f)", f.cmd_ms, f.cmd_ratio);
        std::printf("\n");
    }

    // Linear growth: the time per command stays the same as n grows, for the C loop and for
    // the helper alike.
    std::printf("ms per command at n=0/50/200:");
    std::printf("  C loop %.2f/%.2f/%.2f", all[0].c_ms / all[0].commands, all[1].c_ms / all[1].commands,
                all[2].c_ms / all[2].commands);
    std::printf("  library %.2f/%.2f/%.2f", all[0].lib_ms / all[0].commands,
                all[1].lib_ms / all[1].commands, all[2].lib_ms / all[2].commands);
    if (!helper.empty())
        std::printf("  command %.2f/%.2f/%.2f", all[0].cmd_ms / all[0].commands,
                    all[1].cmd_ms / all[1].commands, all[2].cmd_ms / all[2].commands);
    std::printf("\n");
    const Figures& big = all.back();
    std::printf("ratio at n=200 (target <= 1.05; median of paired rounds): library %.3f", big.lib_ratio);
    if (!helper.empty()) std::printf(", command %.3f", big.cmd_ratio);
    std::printf("\n");
    return 0;
}
