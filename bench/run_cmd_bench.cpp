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

// Seconds spent in f.
template <class F>
double seconds_in(F&& f) {
    const auto t0 = Clock::now();
    f();
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

}  // namespace

// run_cmd_bench [calls per round] [rounds]
int main(int argc, char** argv) {
    const int n = argc > 1 ? std::atoi(argv[1]) : 1000;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 7;
    char true_name[] = "true";
    char* const floor_argv[] = {true_name, nullptr};
    const std::vector<std::string> cmd = {"true"};

    // Small batches, alternating, so that a shared machine's changing load falls on both sides
    // alike; each round sums its batches.
    constexpr int kBatch = 10;
    auto floor_batch = [&] {
        if (spawn_floor_run(floor_argv, kBatch) != 0) std::abort();
    };
    auto ours_batch = [&] {
        for (int i = 0; i < kBatch; ++i) {
            if (tq8::core::run_cmd(cmd).rc != 0) std::abort();
        }
    };
    for (int i = 0; i < 10; ++i) {  // warm the page cache and the loader
        floor_batch();
        ours_batch();
    }

    std::vector<double> floor_ms, ours_ms, ratios;
    for (int r = 0; r < rounds; ++r) {
        double f = 0;
        double o = 0;
        for (int b = 0; b < n / kBatch; ++b) {
            if (b % 2 == 0) {
                f += seconds_in(floor_batch);
                o += seconds_in(ours_batch);
            } else {
                o += seconds_in(ours_batch);
                f += seconds_in(floor_batch);
            }
        }
        const int calls = n / kBatch * kBatch;
        f = f * 1000 / calls;
        o = o * 1000 / calls;
        floor_ms.push_back(f);
        ours_ms.push_back(o);
        ratios.push_back(o / f);
        std::printf("round %d: c_loop %.4f ms  run_cmd %.4f ms  ratio %.3f\n", r + 1, f, o, o / f);
    }
    std::printf("c_loop_ms %.4f\nrun_cmd_ms %.4f\nratio_c %.3f\n", median(floor_ms),
                median(ours_ms), median(ratios));
    return 0;
}
