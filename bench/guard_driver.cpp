// The guard without the runtime: the library's dns_guard on the real world, lines to fd 1.
// Built by guard_bench.sh to tell the library's own cost from the binding's.
#include <unistd.h>

#include <csignal>
#include <string>

#include "bench/system_runner.hpp"
#include "root_helper/dns_shield/dns_shield.hpp"

namespace {
// The guard's calls to the other DNS operations, straight to the library.
struct DirectSeams : tq8::dns_shield::Seams {
    explicit DirectSeams(tq8::core::CommandRunner& r) : runner(r) {}
    bool remove_dns_redirect() override { return tq8::dns_shield::remove_dns_redirect(runner); }
    bool shield_listening() override { return tq8::dns_shield::shield_listening(); }
    bool shield_answers() override { return tq8::dns_shield::shield_answers(); }
    tq8::core::CommandRunner& runner;
};

struct FdSink : tq8::dns_shield::LineSink {
    bool write_line(std::string_view line) override {
        std::string s(line);
        s += '\n';
        return ::write(1, s.data(), s.size()) == static_cast<ssize_t>(s.size());
    }
};
}  // namespace

int main() {
    BenchSystemRunner runner;
    DirectSeams seams(runner);
    FdSink sink;
    auto outcome = tq8::dns_shield::dns_guard(runner, seams, sink, 0);
    if (outcome.signal != 0) {
        std::signal(outcome.signal, SIG_DFL);
        std::raise(outcome.signal);
    }
    return outcome.result;
}
