#pragma once
// A fatal stop: bad input found where it cannot be handled. The main thread turns it into
// the message on standard error and status 101; the warm-up thread and each server
// generation catch it at their own boundary.
#include <fmt/format.h>

#include <stdexcept>
#include <string>

namespace korvex {

struct Fatal : std::runtime_error {
  using std::runtime_error::runtime_error;
};

[[noreturn]] inline void fatal(std::string message) { throw Fatal(std::move(message)); }

template <typename... Args>
[[noreturn]] void fatal(fmt::format_string<Args...> format, Args&&... args) {
  throw Fatal(fmt::format(format, std::forward<Args>(args)...));
}

}  // namespace korvex
