#include "common/memory_limit.hpp"

#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace korvex {
namespace {

std::optional<std::string> read_file(const std::filesystem::path& path) {
  std::ifstream in(path);
  if (!in) return std::nullopt;
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

void take_smaller(std::optional<uint64_t>& best, std::optional<uint64_t> limit) {
  if (limit && (!best || *limit < *best)) best = limit;
}

// The limit file in the cgroup at `relative` under `root` and in each of its ancestors up to
// `root` itself: a parent's limit binds its children as well.
std::optional<uint64_t> tightest_limit(const std::filesystem::path& root, std::string_view relative,
                                       const char* file) {
  std::vector<std::filesystem::path> parts;
  for (const auto& part : std::filesystem::path(relative).relative_path())
    if (!part.empty() && part != "." && part != "..") parts.push_back(part);
  std::optional<uint64_t> best;
  for (std::size_t depth = parts.size() + 1; depth-- > 0;) {
    std::filesystem::path dir = root;
    for (std::size_t i = 0; i < depth; ++i) dir /= parts[i];
    if (auto text = read_file(dir / file)) take_smaller(best, parse_memory_limit(*text));
  }
  return best;
}

}  // namespace

std::optional<uint64_t> parse_memory_limit(std::string_view text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.remove_suffix(1);
  if (text.empty() || text == "max") return std::nullopt;
  uint64_t value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc{} || end != text.data() + text.size()) return std::nullopt;
  // v1 writes "no limit" as the largest page-aligned count; anything near 2^63 means none.
  if (value >= (uint64_t{1} << 62)) return std::nullopt;
  return value;
}

std::optional<uint64_t> cgroup_memory_limit(const CgroupPaths& paths) {
  auto lines = read_file(paths.self_cgroup);
  if (!lines) return std::nullopt;
  std::optional<uint64_t> best;
  std::istringstream in(*lines);
  for (std::string line; std::getline(in, line);) {
    // "hierarchy-id:controllers:path"; v2 is "0::path".
    std::size_t first = line.find(':');
    std::size_t second = first == std::string::npos ? first : line.find(':', first + 1);
    if (second == std::string::npos) continue;
    std::string_view controllers = std::string_view(line).substr(first + 1, second - first - 1);
    std::string_view path = std::string_view(line).substr(second + 1);
    if (line.compare(0, first, "0") == 0 && controllers.empty()) {
      take_smaller(best, tightest_limit(paths.mount, path, "memory.max"));
      continue;
    }
    std::istringstream names{std::string(controllers)};
    for (std::string name; std::getline(names, name, ',');) {
      if (name == "memory")
        take_smaller(best, tightest_limit(paths.mount / "memory", path, "memory.limit_in_bytes"));
    }
  }
  return best;
}

uint64_t physical_memory_bytes() {
  long pages = ::sysconf(_SC_PHYS_PAGES);
  long page = ::sysconf(_SC_PAGESIZE);
  if (pages <= 0 || page <= 0) return UINT64_MAX;
  return static_cast<uint64_t>(pages) * static_cast<uint64_t>(page);
}

uint64_t usable_memory_bytes() {
  uint64_t physical = physical_memory_bytes();
  std::optional<uint64_t> limit = cgroup_memory_limit();
  return limit ? std::min(*limit, physical) : physical;
}

}  // namespace korvex
