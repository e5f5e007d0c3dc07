// Any bytes a client can send on one connection, served by the real server in this process
// on a loopback port: preface detection, request-head framing with its limits, head parsing,
// routing, body reading and decoding, and the streamed chat answer (over a scripted
// generation, so no model is needed). After sending, the client half-closes and reads to the
// end; the server must end every such connection, and whatever it answers must be HTTP.
//
// Input: byte 0 chooses how the rest is written (at once, or in small pieces so that heads
// arrive split). In the rest, the byte 0xFF followed by n and c stands for the byte c
// repeated (n + 1) * 1024 times, so that small inputs reach the size limits (long targets,
// long header lines, a head over the buffer limit).
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "common/fatal.hpp"
#include "gguf/gguf.hpp"
#include "server/app_state.hpp"
#include "server/chat_completions.hpp"
#include "server/server.hpp"
#include "tokenizer/tokenizer.hpp"

namespace {

constexpr int kReplyTimeoutMs = 20000;
uint16_t port = 0;

[[noreturn]] void fault(const char* what, std::string_view reply = {}) {
  std::fprintf(stderr, "fuzz_http_head: %s\nreply (%zu bytes): %.*s\n", what, reply.size(),
               static_cast<int>(std::min<std::size_t>(reply.size(), 2000)), reply.data());
  __builtin_trap();
}

// Pieces with every kind of character the event chunk escapes; the empty prompt fails as
// the real generation does, so the error piece is streamed too.
void scripted_generation(const korvex::GenerationJob& job, const korvex::GenerateParams& params,
                         const korvex::TokenSink& sink) {
  if (job.prompt.empty()) korvex::fatal("empty prompt");
  static constexpr std::string_view pieces[] = {"hello", " \"q\"\\\n\t\r", "\x1f/\xC3\xA9\x7f"};
  for (std::size_t i = 0; i < std::min<std::size_t>(params.max_tokens, 3); ++i) sink(pieces[i]);
}

// Enough to pass the head buffer limit (417,792 bytes) with room to spare, and no more: a
// client that goes on sending after an early answer only costs time.
constexpr std::size_t kMaxExpanded = 600 * 1024;

std::string expand(std::string_view in) {
  std::string out;
  for (std::size_t i = 0; i < in.size() && out.size() < kMaxExpanded; ++i) {
    if (static_cast<uint8_t>(in[i]) == 0xFF && i + 2 < in.size()) {
      std::size_t n = (static_cast<uint8_t>(in[i + 1]) + 1u) * 1024u;
      out.append(std::min(n, kMaxExpanded - out.size()), in[i + 2]);
      i += 2;
    } else {
      out.push_back(in[i]);
    }
  }
  return out;
}

int connect_local() {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  // The connections the server closed first wait out TIME_WAIT on its side and hold their
  // local ports meanwhile; when none is free, wait for some to come back (a limit of this
  // client, not a fault of the server).
  for (int attempt = 0;; ++attempt) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) fault("socket");
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    ::setsockopt(fd, IPPROTO_TCP, TCP_QUICKACK, &one, sizeof one);
    int err = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 ? 0 : errno;
    if (err == EINTR) {
      // libFuzzer's timer signal came in; the connection goes on being set up without us.
      pollfd p{fd, POLLOUT, 0};
      while (::poll(&p, 1, kReplyTimeoutMs) < 0 && errno == EINTR) {
      }
      socklen_t len = sizeof err;
      ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len);
    }
    if (err == 0) return fd;
    ::close(fd);
    if (err == EADDRNOTAVAIL && attempt < 200) {
      ::usleep(100000);
      continue;
    }
    std::string what = std::string("connect: ") + std::strerror(err);
    fault(what.c_str());
  }
}

// Sends the bytes in pieces of `piece` (0: at once), stopping quietly when the server has
// closed its side; then half-closes and reads everything until the server ends the connection.
std::string send_and_read(std::string_view request, std::size_t piece) {
  int fd = connect_local();
  std::size_t sent = 0;
  while (sent < request.size()) {
    std::size_t n = piece == 0 ? request.size() - sent : std::min(piece, request.size() - sent);
    ssize_t w = ::send(fd, request.data() + sent, n, MSG_NOSIGNAL);
    if (w < 0) {
      if (errno == EINTR) continue;
      break;  // the server answered early and closed (a limit, a bad head)
    }
    sent += static_cast<std::size_t>(w);
  }
  ::shutdown(fd, SHUT_WR);
  std::string reply;
  char buf[65536];
  int one = 1;
  for (;;) {
    // The server leaves Nagle's algorithm on, so each of its small writes after the first
    // waits for our acknowledgement; acknowledging at once (re-armed before every wait, as
    // the kernel drops the mode) spares each input a delayed-ACK pause per write.
    ::setsockopt(fd, IPPROTO_TCP, TCP_QUICKACK, &one, sizeof one);
    pollfd p{fd, POLLIN, 0};
    int ready = ::poll(&p, 1, kReplyTimeoutMs);
    if (ready == 0) fault("the server did not end a connection whose client had finished", reply);
    if (ready < 0) {
      if (errno == EINTR) continue;
      fault("poll");
    }
    ::setsockopt(fd, IPPROTO_TCP, TCP_QUICKACK, &one, sizeof one);
    ssize_t r = ::recv(fd, buf, sizeof buf, 0);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) break;  // end, or a reset after an early answer
    reply.append(buf, static_cast<std::size_t>(r));
  }
  // Everything has been read: close with a reset, so that this side keeps no connection in
  // TIME_WAIT; at hundreds of inputs a second those would use up the local ports.
  linger reset{1, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
  ::close(fd);
  return reply;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  using namespace korvex;
  static std::shared_ptr<Runtime> runtime = build_runtime(2);
  auto state = std::make_shared<AppState>();
  state->model_id = "fuzz-model";
  auto vocab = GgufFile::open(std::string(KORVEX_SOURCE_DIR) + "/tests/data/vocab/ggml-vocab-gpt-2.gguf");
  if (!vocab) fault("cannot open the gpt-2 vocabulary");
  auto tokenizer = Tokenizer::from_gguf(*vocab);
  if (!tokenizer) fault("no tokenizer in the gpt-2 vocabulary");
  state->tokenizer = std::make_shared<const Tokenizer>(std::move(*tokenizer));
  state->run_generation = scripted_generation;
  port = serve_locally(*runtime, state);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  static const std::size_t piece_sizes[] = {0, 1, 7, 100};
  static uint64_t inputs = 0;
  if (size == 0) return 0;
  std::string request = expand(std::string_view(reinterpret_cast<const char*>(data + 1), size - 1));
  std::size_t piece = piece_sizes[data[0] % 4];
  // At most about 64 writes per input: long inputs go in larger pieces.
  if (piece != 0 && request.size() / piece > 64) piece = request.size() / 64 + 1;
  std::string reply = send_and_read(request, piece);

  constexpr std::string_view preface = "PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n";
  if (request.starts_with(preface) && !reply.empty()) fault("an answer to the HTTP/2 preface", reply);
  if (!reply.empty() && !reply.starts_with("HTTP/1.1 ") && !reply.starts_with("HTTP/1.0 "))
    fault("a reply that is not HTTP/1", reply);

  // Now and then: the server as a whole still answers.
  if (++inputs % 256 == 0) {
    std::string health = send_and_read("GET /health HTTP/1.1\r\nconnection: close\r\n\r\n", 0);
    if (!health.starts_with("HTTP/1.1 200 OK\r\n") || !health.ends_with("\r\n\r\nok"))
      fault("/health stopped answering", health);
  }
  return 0;
}
