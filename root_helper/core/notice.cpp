// The library's notes: handed to the sink the face set, if any.
#include "root_helper/core/notice.hpp"

#include <atomic>

namespace tq8::core {
namespace {
std::atomic<NoticeSink> g_sink{nullptr};
}  // namespace

void set_notice_sink(NoticeSink sink) noexcept { g_sink.store(sink); }

void notice(std::string_view text) noexcept {
    if (NoticeSink sink = g_sink.load()) sink(text);
}

}  // namespace tq8::core
