// UniqueFd: owns one file descriptor and closes it when it goes.
#pragma once

#include <unistd.h>

#include <utility>

namespace tq8::core {

class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) noexcept : fd_(fd) {}
    UniqueFd(UniqueFd&& o) noexcept : fd_(std::exchange(o.fd_, -1)) {}
    UniqueFd& operator=(UniqueFd o) noexcept { std::swap(fd_, o.fd_); return *this; }
    ~UniqueFd() { reset(); }
    int get() const noexcept { return fd_; }
    explicit operator bool() const noexcept { return fd_ >= 0; }
    int release() noexcept { return std::exchange(fd_, -1); }
    void reset() noexcept { if (fd_ >= 0) ::close(std::exchange(fd_, -1)); }
private:
    int fd_ = -1;
};

}  // namespace tq8::core
