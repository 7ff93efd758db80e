// Per-call cost of run_cmd({"true"}) against the plain C spawn loop, measured in the same run.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "root_helper/core/command_runner.hpp"

extern "C" int spawn_floor_run(char* const argv[], int n);

namespace {

using Clock = std::chrono::steady_clock;

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const std::size_t m = v.size() / 2;
    return v.size() % 2 ? v[m] : (v[m - 1] + v[m]) / 2;
}

template <class F>
double ms_per_call(int n, F&& loop) {
    const auto t0 = Clock::now();
    loop();
    return std::chrono::duration<double, std::milli>(Clock::now() - t0).count() / n;
}

}  // namespace

// run_cmd_bench [calls per round] [rounds]
int main(int argc, char** argv) {
    const int n = argc > 1 ? std::atoi(argv[1]) : 1000;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 7;
    char true_name[] = "true";
    char* const floor_argv[] = {true_name, nullptr};
    const std::vector<std::string> cmd = {"true"};

    auto floor_loop = [&] {
        if (spawn_floor_run(floor_argv, n) != 0) std::abort();
    };
    auto ours_loop = [&] {
        for (int i = 0; i < n; ++i) {
            if (tq8::core::run_cmd(cmd).rc != 0) std::abort();
        }
    };
    floor_loop();  // warm the page cache and the dynamic loader's caches
    ours_loop();

    std::vector<double> floor_ms, ours_ms, ratios;
    for (int r = 0; r < rounds; ++r) {
        // Alternate the order so that drift in a shared machine's load hits both sides.
        double f, o;
        if (r % 2 == 0) {
            f = ms_per_call(n, floor_loop);
            o = ms_per_call(n, ours_loop);
        } else {
            o = ms_per_call(n, ours_loop);
            f = ms_per_call(n, floor_loop);
        }
        floor_ms.push_back(f);
        ours_ms.push_back(o);
        ratios.push_back(o / f);
        std::printf("round %d: c_loop %.4f ms  run_cmd %.4f ms  ratio %.3f\n", r + 1, f, o, o / f);
    }
    std::printf("c_loop_ms %.4f\nrun_cmd_ms %.4f\nratio_c %.3f\n", median(floor_ms),
                median(ours_ms), median(ratios));
    return 0;
}
