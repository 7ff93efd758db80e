// Result records and log entries.
#include "root_helper/core/records.hpp"

namespace tq8::core {

LogEntry log_entry(std::string cmd, const CommandResult& r) {
    return LogEntry{std::move(cmd), r.rc, r.out, r.err};
}

std::string join(const std::vector<std::string>& items) {
    std::string s;
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (i) s += ' ';
        s += items[i];
    }
    return s;
}

}  // namespace tq8::core
