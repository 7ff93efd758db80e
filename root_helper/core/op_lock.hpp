// Serialises the helper's system-changing operations across processes (flock on a file under
// /run), so that two runs cannot interleave their firewall commands.
#pragma once

#include <string>

#include "root_helper/core/unique_fd.hpp"

namespace tq8::core {

inline constexpr const char* kOpLockPath = "/run/tq8-root-helper.lock";

// Holds the lock for its lifetime. When the lock file cannot be opened (no /run, not root)
// the operation goes ahead unlocked: the lock protects consistency, it must not stop repairs.
class OpLock {
public:
    explicit OpLock(const std::string& path = kOpLockPath);
    OpLock(const OpLock&) = delete;
    OpLock& operator=(const OpLock&) = delete;
    bool held() const noexcept { return static_cast<bool>(fd_); }
private:
    UniqueFd fd_;
};

}  // namespace tq8::core
