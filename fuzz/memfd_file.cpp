#include "memfd_file.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace korvex::fuzz {

std::string memfd_path_with(const uint8_t* data, std::size_t size) {
  static const int fd = [] {
    int f = ::memfd_create("korvex-fuzz-input", MFD_CLOEXEC);
    if (f < 0) {
      std::perror("memfd_create");
      std::abort();
    }
    return f;
  }();
  // Each open() maps the file afresh, and the previous input's GgufFile has already been
  // destroyed, so shrinking the file never pulls pages out from under a live mapping.
  if (::ftruncate(fd, 0) != 0) std::abort();
  std::size_t done = 0;
  while (done < size) {
    ssize_t n = ::pwrite(fd, data + done, size - done, static_cast<off_t>(done));
    if (n <= 0) std::abort();
    done += static_cast<std::size_t>(n);
  }
  return "/proc/self/fd/" + std::to_string(fd);
}

}  // namespace korvex::fuzz
