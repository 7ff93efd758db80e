// A fresh directory under /tmp for one test: mkdtemp's private (0700) directory with a name
// nobody held before. The test removes it.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <stdexcept>
#include <string>

namespace tq8::testing {

inline std::filesystem::path scratch_dir(const std::string& what) {
    std::string name = "/tmp/tq8-" + what + ".XXXXXX";
    if (::mkdtemp(name.data()) == nullptr) throw std::runtime_error("mkdtemp failed: " + name);
    return name;
}

}  // namespace tq8::testing
