#pragma once
// The real program started as a child process for the server tests, with its output in
// files, and the helpers to speak to it and read its streams.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "server/test_http_client.hpp"
#include "support/gguf_writer.hpp"

namespace korvex::test {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

inline const std::string demo_model = std::string(KORVEX_SOURCE_DIR) + "/models/stories260K.gguf";

inline std::string slurp(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// The program run with its output in files; killed when the test ends.
struct ServerProcess {
  pid_t pid = -1;
  fs::path out, err;
  int status = -1;

  // `in_child` runs in the new process just before the program starts; it may only make
  // system calls.
  explicit ServerProcess(const std::vector<std::string>& args, const std::string& cwd = "",
                         const std::function<void()>& in_child = {}) {
    fs::path dir = test::temp_dir();
    static int serial = 0;
    out = dir / ("out" + std::to_string(serial) + ".txt");
    err = dir / ("err" + std::to_string(serial++) + ".txt");
    pid = ::fork();
    if (pid == 0) {
      if (!cwd.empty() && ::chdir(cwd.c_str()) != 0) ::_exit(126);
      int o = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      int e = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      ::dup2(o, 1);
      ::dup2(e, 2);
      if (in_child) in_child();
      std::vector<char*> argv;
      std::string binary = KORVEX_BINARY;
      argv.push_back(binary.data());
      std::vector<std::string> copy = args;
      for (auto& a : copy) argv.push_back(a.data());
      argv.push_back(nullptr);
      ::execv(binary.c_str(), argv.data());
      ::_exit(127);
    }
  }
  ~ServerProcess() {
    if (pid > 0 && status < 0) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, nullptr, 0);
    }
  }
  std::string stdout_text() const { return slurp(out); }
  std::string stderr_text() const { return slurp(err); }

  // Waits until standard error holds `text`; false if the process ends or time runs out.
  bool wait_for_stderr(std::string_view text, std::chrono::milliseconds limit = 60s) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
      if (stderr_text().find(text) != std::string::npos) return true;
      if (exited()) return stderr_text().find(text) != std::string::npos;
      std::this_thread::sleep_for(20ms);
    }
    return false;
  }
  bool exited() {
    if (status >= 0) return true;
    int s = 0;
    if (::waitpid(pid, &s, WNOHANG) == pid) {
      status = s;
      return true;
    }
    return false;
  }
  int wait_exit(std::chrono::milliseconds limit = 60s) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (!exited() && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(20ms);
    return status >= 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
};

// A port that was free a moment ago, on every interface.
inline uint16_t free_port() {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_ANY);
  ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  socklen_t len = sizeof addr;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  ::close(fd);
  return ntohs(addr.sin_port);
}

// The texts of a stream's pieces, and whether it ended with [DONE].
struct StreamText {
  std::string text;
  std::size_t pieces = 0;
  bool done = false;
};
inline StreamText stream_text(const std::string& body) {
  StreamText s;
  static const std::regex event(R"re(data: \{"choices":\[\{"delta":\{"content":"((?:[^"\\]|\\.)*)"\},"finish_reason":null\}\]\}\n\n)re");
  std::string_view rest = body;
  while (!rest.empty()) {
    if (rest == "data: [DONE]\n\n") {
      s.done = true;
      break;
    }
    std::match_results<std::string_view::const_iterator> m;
    if (!std::regex_search(rest.begin(), rest.end(), m, event, std::regex_constants::match_continuous)) break;
    s.text += m[1].str();  // still JSON-escaped; compared as such
    ++s.pieces;
    rest.remove_prefix(static_cast<std::size_t>(m.length(0)));
  }
  return s;
}

}  // namespace korvex::test
