// Readable failure messages for records and log entries in the netops tests.
#pragma once

#include <ostream>

#include "root_helper/core/records.hpp"

namespace tq8::core {

inline void PrintTo(const LogEntry& e, std::ostream* os) {
    *os << "{cmd=\"" << e.cmd << "\", rc=" << e.rc << ", stdout=\"" << e.out << "\", stderr=\""
        << e.err << "\"}";
}

inline void PrintTo(const Value& v, std::ostream* os) {
    struct {
        std::ostream* os;
        void operator()(bool b) const { *os << (b ? "true" : "false"); }
        void operator()(long long i) const { *os << i; }
        void operator()(const std::string& s) const { *os << '"' << s << '"'; }
        void operator()(const BigInt& b) const { *os << "BigInt(" << b.decimal << ')'; }
    } visit{os};
    std::visit(visit, v);
}

inline void PrintTo(const Record& r, std::ostream* os) {
    *os << "{ok=" << (r.ok ? "true" : "false");
    for (const auto& [k, v] : r.state) {
        *os << ", " << k << '=';
        PrintTo(v, os);
    }
    *os << ", logs=[";
    for (const auto& e : r.logs) {
        *os << "\n  ";
        PrintTo(e, os);
    }
    *os << "]}";
}

}  // namespace tq8::core
