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

    std::vector<Figures> all;
    for (int n : {0, 50, 200}) {
        const auto nets = split_networks(n);
        RecordingRunner recorder;
        tq8::netops::manage_killswitch(recorder, true, "tq8wg0", nets);  // also warms the caches
        const auto& cmds = recorder.calls;

        std::string joined;
        for (const auto& net : nets) joined += (joined.empty() ? "" : ",") + net;
        std::vector<std::string> helper_cmd = {helper, "killswitch", "--enable", "--split-ips", joined};
        std::vector<char*> helper_argv;
        for (auto& a : helper_cmd) helper_argv.push_back(a.data());
        helper_argv.push_back(nullptr);

        tq8::core::SystemRunner system;
        std::vector<double> c_ms, lib_ms, cmd_ms, lib_ratio, cmd_ratio;
        int c_failed = 0;
        bool lib_ok = true, cmd_ok = true;
        for (int r = 0; r < rounds; ++r) {
            // Each run starts from a switched-on chain that the one before left, so every
            // removal command finds something to remove in all three.
            const double c = time_ms([&] { c_failed += c_loop(cmds); });
            const double l = time_ms([&] {
                lib_ok &= tq8::netops::manage_killswitch(system, true, "tq8wg0", nets).ok;
            });
            c_ms.push_back(c);
            lib_ms.push_back(l);
            lib_ratio.push_back(l / c);
            if (!helper.empty()) {
                const double h = time_ms([&] { cmd_ok &= spawn_floor_run(helper_argv.data(), 1) == 0; });
                cmd_ms.push_back(h);
                cmd_ratio.push_back(h / c);
            }
        }
        if (c_failed || !lib_ok || !cmd_ok)
            std::fprintf(stderr, "n=%d: %d C-loop commands failed, library ok %d, command ok %d\n",
                         n, c_failed, lib_ok, cmd_ok);
        all.push_back({n, cmds.size(), median(c_ms), median(lib_ms),
                       helper.empty() ? -1 : median(cmd_ms), median(lib_ratio),
                       helper.empty() ? -1 : median(cmd_ratio)});
        std::printf("n=%-3d commands=%zu  C loop %.1f ms  library %.1f ms (x%.3f)", n, cmds.size(),
                    all.back().c_ms, all.back().lib_ms, all.back().lib_ratio);
        if (!helper.empty())
            std::printf("  command %.1f ms (x%.3f)", all.back().cmd_ms, all.back().cmd_ratio);
        std::printf("\n");
    }

    // Linear growth: the cost per added network is the same from 0 to 50 as from 50 to 200,
    // and close to the cost of one iptables command.
    const auto slope = [&](double Figures::*f, int a, int b) {
        return (all[b].*f - all[a].*f) / (all[b].n - all[a].n);
    };
    std::printf("per added network, 0->50 / 50->200: C loop %.2f / %.2f ms, library %.2f / %.2f ms",
                slope(&Figures::c_ms, 0, 1), slope(&Figures::c_ms, 1, 2),
                slope(&Figures::lib_ms, 0, 1), slope(&Figures::lib_ms, 1, 2));
    if (!helper.empty())
        std::printf(", command %.2f / %.2f ms", slope(&Figures::cmd_ms, 0, 1), slope(&Figures::cmd_ms, 1, 2));
    std::printf("\n");
    const Figures& big = all.back();
    std::printf("ratio at n=200 (target <= 1.10): library %.3f", big.lib_ratio);
    if (!helper.empty()) std::printf(", command %.3f", big.cmd_ratio);
    std::printf("\n");
    return 0;
}
