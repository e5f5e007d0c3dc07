#pragma once
// Every line the program prints goes through here. Standard output is line-buffered in
// 1024 bytes whatever it is connected to, standard error is unbuffered, and a write that
// fails is a fatal stop instead of being lost; SIGPIPE is ignored so a closed reader shows
// up as a failed write.
#include <string_view>

namespace korvex {

// Once, at the start of the program, before anything is printed.
void init_output();

// Standard output. A failed write stops with
// "failed printing to stdout: {strerror} (os error {errno})".
void out_write(std::string_view text);
void out_line(std::string_view text);  // text, then a line feed
// Writes out what the buffer holds; false when that fails. Never stops: the caller
// decides whether a failed flush matters.
bool out_flush();

// Standard error, one write per line so lines of different threads do not interleave.
// A failed write stops with "failed printing to stderr: ...".
void err_line(std::string_view text);
// For the message of a fatal stop, which has nowhere else to go: a failure is ignored.
void err_line_unchecked(std::string_view text) noexcept;

}  // namespace korvex
