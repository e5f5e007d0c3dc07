#pragma once
// A blocking HTTP/1.1 client for the server tests: raw bytes over a loopback socket, with a
// receive timeout on every read so that no test can hang.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace korvex::test {

struct HttpReply {
  std::string status_line;
  std::vector<std::pair<std::string, std::string>> headers;  // in order, as sent
  std::string body;                                          // de-chunked
  std::vector<std::string> chunks;                           // chunked bodies only
  std::string head;                                          // the raw head

  std::string header(std::string_view name) const {
    for (const auto& [n, v] : headers)
      if (n == name) return v;
    return "<absent>";
  }
  std::vector<std::string> header_names() const {
    std::vector<std::string> names;
    for (const auto& h : headers) names.push_back(h.first);
    return names;
  }
};

struct TestConnection {
  int fd = -1;
  std::string pending;

  // receive_buffer > 0 shrinks the socket's receive buffer (a slow reader's window).
  explicit TestConnection(uint16_t port, std::chrono::milliseconds timeout = std::chrono::seconds(20),
                          int receive_buffer = 0) {
    fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) throw std::runtime_error("socket failed");
    if (receive_buffer > 0) ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof receive_buffer);
    set_timeout(timeout);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
      ::close(fd);
      throw std::runtime_error("connect failed");
    }
  }
  ~TestConnection() {
    if (fd >= 0) ::close(fd);
  }
  TestConnection(const TestConnection&) = delete;
  TestConnection& operator=(const TestConnection&) = delete;

  void set_timeout(std::chrono::milliseconds timeout) {
    timeval tv{};
    tv.tv_sec = static_cast<time_t>(timeout.count() / 1000);
    tv.tv_usec = static_cast<suseconds_t>((timeout.count() % 1000) * 1000);
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  }

  void send(std::string_view bytes) {
    while (!bytes.empty()) {
      ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
      if (n <= 0) throw std::runtime_error("send failed");
      bytes.remove_prefix(static_cast<std::size_t>(n));
    }
  }

  // One receive into `pending`. False at the end of the stream, a reset or the timeout.
  bool fill() {
    char buf[65536];
    ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n <= 0) return false;
    pending.append(buf, static_cast<std::size_t>(n));
    return true;
  }

  // True when the peer ends the stream (or resets it) before the timeout, without sending
  // anything more than what is already pending.
  bool closed_by_peer() {
    char buf[4096];
    for (;;) {
      ssize_t n = ::recv(fd, buf, sizeof buf, 0);
      if (n == 0) return true;
      if (n < 0) return errno == ECONNRESET;
      pending.append(buf, static_cast<std::size_t>(n));
    }
  }

  std::string read_exact(std::size_t n) {
    while (pending.size() < n)
      if (!fill()) throw std::runtime_error("connection ended after " + std::to_string(pending.size()) + " bytes: " + pending.substr(0, 200));
    std::string out = pending.substr(0, n);
    pending.erase(0, n);
    return out;
  }

  std::string read_until(std::string_view end) {
    std::size_t pos;
    while ((pos = pending.find(end)) == std::string::npos)
      if (!fill()) throw std::runtime_error("connection ended before " + std::string(end) + "; got: " + pending.substr(0, 200));
    std::string out = pending.substr(0, pos + end.size());
    pending.erase(0, pos + end.size());
    return out;
  }

  // Everything up to the end of the stream.
  std::string read_to_end() {
    while (fill()) {
    }
    return std::exchange(pending, {});
  }

  HttpReply read_head() {
    HttpReply reply;
    reply.head = read_until("\r\n\r\n");
    std::string_view head = reply.head;
    std::size_t eol = head.find("\r\n");
    reply.status_line = std::string(head.substr(0, eol));
    head.remove_prefix(eol + 2);
    while (head.size() > 2) {
      eol = head.find("\r\n");
      std::string_view line = head.substr(0, eol);
      std::size_t colon = line.find(": ");
      reply.headers.emplace_back(std::string(line.substr(0, colon)), std::string(line.substr(colon + 2)));
      head.remove_prefix(eol + 2);
    }
    return reply;
  }

  // `data` framed as one chunk of a chunked request body.
  static std::string chunk(std::string_view data) {
    char size[32];
    std::snprintf(size, sizeof size, "%zx\r\n", data.size());
    return size + std::string(data) + "\r\n";
  }

  // One chunk of a chunked body; empty at the last chunk.
  std::string read_chunk() {
    std::string size_line = read_until("\r\n");
    std::size_t size = std::stoul(size_line, nullptr, 16);
    std::string data = read_exact(size);
    if (read_exact(2) != "\r\n") throw std::runtime_error("chunk without CRLF");
    return data;
  }

  // A whole answer. `head_request`: no body follows whatever the headers announce.
  HttpReply read_reply(bool head_request = false) {
    HttpReply reply = read_head();
    if (head_request) return reply;
    if (reply.header("transfer-encoding") == "chunked") {
      for (;;) {
        std::string chunk = read_chunk();
        if (chunk.empty()) break;
        reply.body += chunk;
        reply.chunks.push_back(std::move(chunk));
      }
    } else if (std::string length = reply.header("content-length"); length != "<absent>") {
      reply.body = read_exact(std::stoul(length));
    } else {
      reply.body = read_to_end();
    }
    return reply;
  }
};

inline std::string chat_post(std::string_view body, std::string_view extra_headers = "") {
  return "POST /v1/chat/completions HTTP/1.1\r\nhost: t\r\ncontent-type: application/json\r\n" +
         std::string(extra_headers) + "content-length: " + std::to_string(body.size()) + "\r\n\r\n" +
         std::string(body);
}

}  // namespace korvex::test
