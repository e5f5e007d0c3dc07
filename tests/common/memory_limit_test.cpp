// The memory limit read from cgroup files: the texts the kernel writes, and made-up
// hierarchies of both versions in which a parent's limit binds its child.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "common/memory_limit.hpp"

namespace korvex {
namespace {

namespace fs = std::filesystem;

TEST(MemoryLimit, ParsesTheKernelsTexts) {
  struct Case {
    std::string text;
    std::optional<uint64_t> want;
  };
  const std::vector<Case> cases = {
      {"max\n", std::nullopt},
      {"1610612736\n", 1610612736},
      {"1610612736", 1610612736},
      {"9223372036854771712\n", std::nullopt},  // v1's "unlimited"
      {"", std::nullopt},
      {"12x\n", std::nullopt},
      {"-1\n", std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(parse_memory_limit(c.text), c.want) << c.text;
}

void write(const fs::path& path, const std::string& text) {
  fs::create_directories(path.parent_path());
  std::ofstream(path) << text;
}

TEST(MemoryLimit, TheTightestLimitOnTheWayToTheRoot) {
  fs::path root = fs::temp_directory_path() / ("memory_limit_test_" + std::to_string(::getpid()));
  fs::remove_all(root);
  CgroupPaths v2{root / "self_v2", root / "v2"};
  write(v2.self_cgroup, "0::/outer/inner\n");
  write(v2.mount / "outer/memory.max", "1000\n");
  write(v2.mount / "outer/inner/memory.max", "max\n");
  EXPECT_EQ(cgroup_memory_limit(v2), 1000u);  // the child sets none, its parent does
  write(v2.mount / "outer/inner/memory.max", "700\n");
  EXPECT_EQ(cgroup_memory_limit(v2), 700u);

  CgroupPaths v1{root / "self_v1", root / "v1"};
  write(v1.self_cgroup, "9:pids:/\n4:memory:/job/task\n0::/\n");
  write(v1.mount / "memory/memory.limit_in_bytes", "9223372036854771712\n");
  write(v1.mount / "memory/job/memory.limit_in_bytes", "9223372036854771712\n");
  write(v1.mount / "memory/job/task/memory.limit_in_bytes", "268435456\n");
  EXPECT_EQ(cgroup_memory_limit(v1), 268435456u);
  write(v1.mount / "memory/job/task/memory.limit_in_bytes", "9223372036854771712\n");
  EXPECT_EQ(cgroup_memory_limit(v1), std::nullopt);

  CgroupPaths none{root / "missing", root / "v2"};
  EXPECT_EQ(cgroup_memory_limit(none), std::nullopt);
  fs::remove_all(root);

  EXPECT_LE(usable_memory_bytes(), physical_memory_bytes());
  EXPECT_GT(physical_memory_bytes(), 0u);
}

}  // namespace
}  // namespace korvex
