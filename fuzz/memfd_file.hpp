#pragma once
// GgufFile::open takes a path; a fuzz input becomes a file without touching the disk through
// one anonymous in-memory file that each input overwrites.
#include <cstddef>
#include <cstdint>
#include <string>

namespace korvex::fuzz {

// Replaces the content of the process's in-memory file with the bytes and returns a path
// that opens it ("/proc/self/fd/N").
std::string memfd_path_with(const uint8_t* data, std::size_t size);

}  // namespace korvex::fuzz
