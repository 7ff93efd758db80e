// Cross-process lock for system-changing operations.
#include "root_helper/core/op_lock.hpp"
namespace tq8::core {
OpLock::OpLock(const std::string&) {}
}  // namespace tq8::core
