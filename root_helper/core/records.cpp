// Result records and log entries.
#include "root_helper/core/records.hpp"

namespace tq8::core {

LogEntry log_entry(std::string cmd, const CommandResult& r) {
    return LogEntry{std::move(cmd), r.rc, r.out, r.err};
}

CommandResult run_logged(CommandRunner& runner, std::vector<LogEntry>& logs,
                         const std::vector<std::string>& cmd) {
    return run_logged(runner, logs, join(cmd), cmd);
}

CommandResult run_logged(CommandRunner& runner, std::vector<LogEntry>& logs, std::string label,
                         const std::vector<std::string>& cmd) {
    CommandResult r = runner.run(cmd);
    logs.push_back(log_entry(std::move(label), r));
    return r;
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
