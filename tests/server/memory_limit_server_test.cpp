// The real program under a real memory limit and with clients that leave: a flood of long
// prompts in a memory cgroup leaves it serving, every stream ended, those past the budget
// with the error piece; prompts whose clients have gone leave it idle.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <fstream>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "server/server_process.hpp"
#include "server/test_http_client.hpp"
#include "support/uniform_model.hpp"

namespace korvex {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
using test::chat_post;
using test::ServerProcess;
using test::TestConnection;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr const char* kSanitized = "built with a sanitizer, whose shadow memory and slowdown the test cannot budget for";
#else
constexpr const char* kSanitized = nullptr;
#endif

// Few weights, large cache rows: 4 layers of 2 key/value heads of `head_dim`, with the demo
// model's vocabulary, so that a prompt of a few hundred characters needs a few hundred MiB.
std::string wide_model(std::size_t head_dim) {
  test::UniformModelShape shape;
  shape.layers = 4;
  shape.embed = 16;
  shape.ffn = 16;
  shape.heads = shape.kv_heads = 2;
  shape.head_dim = head_dim;
  shape.winner = 300;
  shape.vocabulary_from = test::demo_model;
  return test::write_uniform_model(shape);
}

std::string repeated(std::string_view piece, std::size_t n) {
  std::string s;
  for (std::size_t i = 0; i < n; ++i) s += piece;
  return s;
}

std::string prompt_body(std::size_t characters, std::size_t max_tokens) {
  return R"({"messages":[{"role":"user","content":")" + repeated("é", characters) + R"("}],"max_tokens":)" +
         std::to_string(max_tokens) + "}";
}

bool write_file(const fs::path& path, const std::string& text) {
  std::ofstream out(path);
  out << text;
  out.flush();
  return static_cast<bool>(out);
}

std::string read_file(const fs::path& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// A memory cgroup of its own for the server, v2 where the memory controller is there, else
// v1; removed when the test ends (after the process in it).
struct MemoryCgroup {
  fs::path dir;
  bool v2 = false;
  std::string procs;  // the file a process writes its id to, to join

  static std::optional<MemoryCgroup> make(uint64_t limit, std::string& why_not) {
    if (::geteuid() != 0) {
      why_not = "not root, so no memory cgroup can be made";
      return std::nullopt;
    }
    const std::string name = "korvex-test-" + std::to_string(::getpid());
    MemoryCgroup g;
    const fs::path v2_root = "/sys/fs/cgroup";
    if (read_file(v2_root / "cgroup.controllers").find("memory") != std::string::npos) {
      write_file(v2_root / "cgroup.subtree_control", "+memory");  // may be on already
      g.dir = v2_root / name;
      g.v2 = true;
    } else if (fs::exists("/sys/fs/cgroup/memory/memory.limit_in_bytes")) {
      g.dir = fs::path("/sys/fs/cgroup/memory") / name;
    } else {
      why_not = "neither a v2 memory controller nor a v1 memory hierarchy under /sys/fs/cgroup";
      return std::nullopt;
    }
    std::error_code ec;
    if (!fs::create_directory(g.dir, ec)) {
      why_not = "cannot make " + g.dir.string() + ": " + ec.message();
      return std::nullopt;
    }
    const bool limited = g.v2 ? write_file(g.dir / "memory.max", std::to_string(limit))
                              : write_file(g.dir / "memory.limit_in_bytes", std::to_string(limit));
    if (g.v2) write_file(g.dir / "memory.swap.max", "0");
    if (!limited) {
      why_not = "cannot set the limit of " + g.dir.string();
      fs::remove(g.dir, ec);
      return std::nullopt;
    }
    g.procs = (g.dir / "cgroup.procs").string();
    return g;
  }
  MemoryCgroup() = default;
  MemoryCgroup(MemoryCgroup&& o) noexcept : dir(std::move(o.dir)), v2(o.v2), procs(std::move(o.procs)) { o.dir.clear(); }
  ~MemoryCgroup() {
    if (dir.empty()) return;
    for (int i = 0; i < 100 && ::rmdir(dir.c_str()) != 0; ++i) std::this_thread::sleep_for(20ms);
  }

  // Joins the calling process; system calls only, for the child between fork and exec.
  void join_from_child() const {
    char digits[24];
    int n = 0;
    for (pid_t pid = ::getpid(); pid > 0; pid /= 10) digits[n++] = static_cast<char>('0' + pid % 10);
    char text[24];
    for (int i = 0; i < n; ++i) text[i] = digits[n - 1 - i];
    int fd = ::open(procs.c_str(), O_WRONLY);
    if (fd < 0 || ::write(fd, text, static_cast<std::size_t>(n)) != n) ::_exit(125);
    ::close(fd);
  }

  // Processes the kernel's out-of-memory killer has ended in the cgroup.
  long oom_kills() const {
    std::string text = read_file(dir / (v2 ? "memory.events" : "memory.oom_control"));
    std::smatch m;
    if (std::regex_search(text, m, std::regex("oom_kill (\\d+)"))) return std::stol(m[1]);
    return 0;
  }
};

// The server's CPU time so far, in seconds.
double cpu_seconds(pid_t pid) {
  std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
  std::istringstream in(stat.substr(stat.rfind(')') + 2));
  std::string field;
  long ticks = 0;
  for (int i = 3; i <= 15 && in >> field; ++i)
    if (i >= 14) ticks += std::stol(field);  // utime, stime
  return static_cast<double>(ticks) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

// A short greedy answer's whole body.
std::string short_answer(uint16_t port) {
  TestConnection c(port, 60s);
  c.send(chat_post(R"({"messages":[{"role":"user","content":"Hi"}],"max_tokens":8})"));
  return c.read_reply().body;
}

TEST(MemoryLimitServer, AFloodOfLongPromptsInAMemoryCgroupLeavesItServing) {
  if (kSanitized) GTEST_SKIP() << kSanitized;
  constexpr uint64_t limit = 384u << 20;
  std::string why_not;
  std::optional<MemoryCgroup> cgroup = MemoryCgroup::make(limit, why_not);
  if (!cgroup) GTEST_SKIP() << why_not;

  // 512 KiB a position: the budget left in 384 MiB holds one of these prompts at a time.
  const uint16_t port = test::free_port();
  ServerProcess p({wide_model(8192), "--server", std::to_string(port)}, "",
                  [&] { cgroup->join_from_child(); });
  ASSERT_TRUE(p.wait_for_stderr("listening")) << p.stderr_text();
  const std::string before = short_answer(port);
  ASSERT_TRUE(test::stream_text(before).done) << before;

  std::atomic<bool> flooding{true};
  std::atomic<int> health_answers{0}, health_failures{0};
  std::thread health([&] {
    while (flooding) {
      try {
        TestConnection h(port, 10s);
        h.send("GET /health HTTP/1.1\r\n\r\n");
        (h.read_reply().body == "ok" ? health_answers : health_failures)++;
      } catch (const std::exception&) {
        health_failures++;
      }
      std::this_thread::sleep_for(100ms);
    }
  });
  constexpr int clients = 8;
  std::vector<std::string> bodies(clients);
  std::vector<std::thread> flood;
  for (int i = 0; i < clients; ++i) {
    flood.emplace_back([&, i] {
      try {
        TestConnection c(port, 120s);
        c.send(chat_post(prompt_body(200, 4)));
        bodies[i] = c.read_reply().body;
      } catch (const std::exception& e) {
        bodies[i] = std::string("client failed: ") + e.what();
      }
    });
  }
  for (auto& t : flood) t.join();
  flooding = false;
  health.join();

  const std::regex refused(
      R"(data: \{"choices":\[\{"delta":\{"content":"\\n\[Error: a prompt of \d+ positions and its first 4 generated ones need [0-9.]+ MiB, but only [0-9.]+ MiB of the [0-9.]+ MiB key/value cache budget are free\]"\},"finish_reason":null\}\]\}\n\ndata: \[DONE\]\n\n)");
  int answered = 0, over_budget = 0;
  for (const std::string& body : bodies) {
    test::StreamText s = test::stream_text(body);
    EXPECT_TRUE(body.ends_with("data: [DONE]\n\n")) << body.substr(0, 300);
    if (std::regex_match(body, refused)) {
      ++over_budget;
    } else {
      EXPECT_TRUE(s.done && s.pieces == 4) << body.substr(0, 300);
      ++answered;
    }
  }
  EXPECT_GE(answered, 1);
  EXPECT_GE(over_budget, 1);
  EXPECT_FALSE(p.exited()) << p.stderr_text();
  EXPECT_EQ(cgroup->oom_kills(), 0);
  EXPECT_GT(health_answers.load(), 0);
  EXPECT_EQ(health_failures.load(), 0);
  EXPECT_EQ(short_answer(port), before);
}

TEST(MemoryLimitServer, PromptsWhoseClientsLeftLeaveTheServerIdle) {
  if (kSanitized) GTEST_SKIP() << kSanitized;
  // 128 KiB a position; left alone, these prompts would keep every core busy for half a
  // minute, and their decoding for much longer.
  const uint16_t port = test::free_port();
  ServerProcess p({wide_model(2048), "--server", std::to_string(port)});
  ASSERT_TRUE(p.wait_for_stderr("listening")) << p.stderr_text();
  const std::string before = short_answer(port);

  {
    std::vector<std::unique_ptr<TestConnection>> leaving;
    for (int i = 0; i < 6; ++i) {
      leaving.push_back(std::make_unique<TestConnection>(port, 30s));
      leaving.back()->send(chat_post(prompt_body(2500, 100000)));
    }
    for (auto& c : leaving) EXPECT_EQ(c->read_head().status_line, "HTTP/1.1 200 OK");
    std::this_thread::sleep_for(1s);
    ASSERT_GT(cpu_seconds(p.pid), 0.3) << "the prompts never got going";
  }
  // Quiet: a whole second with less than a fifth of a core's time in it.
  const auto left = std::chrono::steady_clock::now();
  bool quiet = false;
  while (!quiet && std::chrono::steady_clock::now() - left < 30s) {
    double start = cpu_seconds(p.pid);
    std::this_thread::sleep_for(1s);
    quiet = cpu_seconds(p.pid) - start < 0.2;
  }
  EXPECT_TRUE(quiet) << "still busy 30 s after the clients left";
  EXPECT_LT(std::chrono::steady_clock::now() - left, 10s);
  EXPECT_EQ(short_answer(port), before);
}

}  // namespace
}  // namespace korvex
