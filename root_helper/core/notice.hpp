// Notes from the library for whoever runs the helper (never on standard output, which carries
// the JSON line). The library never writes to a descriptor itself: the face that owns the
// process's streams sets the sink; without one a note goes nowhere.
#pragma once

#include <string_view>

namespace tq8::core {

// Called from any thread, with or without the runtime's lock; must not throw.
using NoticeSink = void (*)(std::string_view text) noexcept;

void set_notice_sink(NoticeSink sink) noexcept;
void notice(std::string_view text) noexcept;

}  // namespace tq8::core
