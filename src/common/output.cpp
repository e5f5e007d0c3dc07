#include "common/output.hpp"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>

#include "common/fatal.hpp"

namespace korvex {
namespace {

// Lives for the whole process: stdio flushes it once more at exit.
char stdout_buffer[1024];

[[noreturn]] void write_failed(const char* stream, int err) {
  fatal("failed printing to {}: {} (os error {})", stream, std::strerror(err), err);
}

// fwrite may report the full count although the line-buffer flush behind it failed, so
// the stream's error flag is read as well; it is cleared first so that only this write
// is judged.
void checked_write(std::FILE* f, const char* stream, std::string_view text) {
  clearerr(f);
  errno = 0;
  std::size_t n = std::fwrite(text.data(), 1, text.size(), f);
  if (n != text.size() || std::ferror(f)) write_failed(stream, errno != 0 ? errno : EIO);
}

std::string with_line_feed(std::string_view text) {
  std::string line;
  line.reserve(text.size() + 1);
  line.append(text);
  line += '\n';
  return line;
}

}  // namespace

void init_output() {
  std::signal(SIGPIPE, SIG_IGN);
  std::setvbuf(stdout, stdout_buffer, _IOLBF, sizeof stdout_buffer);
  std::setvbuf(stderr, nullptr, _IONBF, 0);
}

void out_write(std::string_view text) { checked_write(stdout, "stdout", text); }

void out_line(std::string_view text) { checked_write(stdout, "stdout", with_line_feed(text)); }

bool out_flush() { return std::fflush(stdout) == 0; }

void err_line(std::string_view text) { checked_write(stderr, "stderr", with_line_feed(text)); }

void err_line_unchecked(std::string_view text) noexcept {
  try {
    std::string line = with_line_feed(text);
    std::fwrite(line.data(), 1, line.size(), stderr);
  } catch (...) {
    // Out of memory while reporting a fatal stop: nothing left to do.
  }
}

}  // namespace korvex
