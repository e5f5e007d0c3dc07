#pragma once
// How much memory this process may really use: the tightest memory-cgroup limit on its way
// to the root of the hierarchy, or the machine's physical memory, whichever is smaller. The
// kernel ends a process that goes past its cgroup's limit, whatever the machine has free.
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string_view>

namespace korvex {

// A cgroup limit file's text ("max", or a byte count, with or without a line feed);
// nothing when it sets no limit or cannot be read as one.
std::optional<uint64_t> parse_memory_limit(std::string_view text);

// Where the cgroup files are, so tests can point at a made-up hierarchy.
struct CgroupPaths {
  std::filesystem::path self_cgroup = "/proc/self/cgroup";
  std::filesystem::path mount = "/sys/fs/cgroup";  // v2 here; v1's memory controller below it
};

// The smallest limit over the process's cgroup and its ancestors: v2 memory.max, else v1
// memory/.../memory.limit_in_bytes; nothing when none applies.
std::optional<uint64_t> cgroup_memory_limit(const CgroupPaths& paths = {});

// The physical memory of the machine in bytes.
uint64_t physical_memory_bytes();

// The smaller of the cgroup limit and the physical memory.
uint64_t usable_memory_bytes();

}  // namespace korvex
