#include <gtest/gtest.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <functional>

#include "common/fatal.hpp"
#include "common/output.hpp"

namespace korvex {
namespace {

// Runs `write` in a child whose descriptor `fd` is a pipe nobody reads any more; the child
// exits 0 when the write stopped with exactly `expected`, 1 when it stopped otherwise,
// 2 when it did not stop.
void expect_write_failure(int fd, const std::function<void()>& write, const std::string& expected) {
  EXPECT_EXIT(
      {
        int p[2];
        if (pipe(p) != 0) _exit(3);
        close(p[0]);
        std::fflush(stdout);
        init_output();
        dup2(p[1], fd);
        try {
          write();
        } catch (const Fatal& f) {
          _exit(f.what() == expected ? 0 : 1);
        }
        _exit(2);
      },
      testing::ExitedWithCode(0), "");
}

TEST(Output, FailedWritesStopWithTheSystemError) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  expect_write_failure(1, [] { out_line("hello"); }, "failed printing to stdout: Broken pipe (os error 32)");
  // Without a line feed the line buffer holds the text; the flush finds the closed pipe.
  expect_write_failure(
      1, [] { out_write("partial"); if (!out_flush()) out_line(""); },
      "failed printing to stdout: Broken pipe (os error 32)");
  expect_write_failure(2, [] { err_line("oops"); }, "failed printing to stderr: Broken pipe (os error 32)");
}

TEST(Output, FlushReportsFailureWithoutStopping) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        int p[2];
        if (pipe(p) != 0) _exit(3);
        close(p[0]);
        std::fflush(stdout);
        init_output();
        dup2(p[1], 1);
        try {
          out_write("piece");
          _exit(out_flush() ? 1 : 0);
        } catch (const Fatal&) {
          _exit(2);
        }
      },
      testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace korvex
