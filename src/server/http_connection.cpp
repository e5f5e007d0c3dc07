#include "server/http_connection.hpp"

#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <ctime>
#include <optional>
#include <string>
#include <utility>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/experimental/awaitable_operators.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http/buffer_body.hpp>
#include <boost/beast/http/error.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/read.hpp>

#include "server/chat_completions.hpp"
#include "server/chat_request.hpp"
#include "server/endpoints.hpp"
#include "server/event_stream.hpp"
#include "server/http_response.hpp"
#include "server/request_head.hpp"
#include "server/router.hpp"

namespace korvex {
namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;
using boost::system::error_code;
constexpr auto use_tuple = asio::as_tuple(asio::use_awaitable);

using RequestParser = http::request_parser<http::buffer_body>;

// GCC 12 miscompiles a co_await inside an if or while condition (the awaited coroutine's
// reference parameters arrive corrupted), so every co_await here stands in a statement or
// an initialiser of its own, and results are taken apart by a function.

// The outcome of one I/O operation.
struct IoResult {
  error_code ec;
  std::size_t n = 0;
};
IoResult io_result(const std::tuple<error_code, std::size_t>& t) { return {std::get<0>(t), std::get<1>(t)}; }

// The body a route does not read is drained up to this much so the connection can go on;
// a longer one closes the connection after the answer.
constexpr std::size_t MAX_DRAINED_BODY_BYTES = MAX_REQUEST_BODY_BYTES;
// Closing with unread input makes the system reset the connection, which can destroy the
// answer before the client reads it; so input is read and dropped for a short while first.
constexpr std::chrono::milliseconds CLOSE_LINGER{1000};
constexpr std::size_t CLOSE_LINGER_BYTES = 4u << 20;
// The parser stores a header value with a 16-bit length; longer lines are refused with 431
// before it sees them.
constexpr std::size_t MAX_HEADER_LINE_BYTES = 65'533;

std::string now_http_date() { return http_date(std::time(nullptr)); }

asio::awaitable<bool> write_all(tcp::socket& socket, std::string_view bytes) {
  IoResult io = io_result(co_await asio::async_write(socket, asio::buffer(bytes.data(), bytes.size()), use_tuple));
  co_return !io.ec;
}

// Reads until HTTP2_PREFACE is ruled out or complete. False: the connection opened with the
// preface, or ended before sending anything, and is to be closed without an answer.
// `input_ended` tells that the peer ended its stream during the detection: no read may follow,
// since a read after the end was reported waits for a readiness event that never comes.
asio::awaitable<bool> detect_http1(tcp::socket& socket, beast::flat_buffer& buffer, bool& input_ended) {
  for (;;) {
    std::string_view seen(static_cast<const char*>(buffer.data().data()), buffer.size());
    std::size_t compare = std::min(seen.size(), HTTP2_PREFACE.size());
    if (seen.substr(0, compare) != HTTP2_PREFACE.substr(0, compare)) co_return true;
    if (seen.size() >= HTTP2_PREFACE.size()) co_return false;
    IoResult io = io_result(co_await socket.async_read_some(buffer.prepare(8192), use_tuple));
    if (io.ec) {
      input_ended = true;
      co_return buffer.size() > 0;  // what arrived is served as HTTP/1
    }
    buffer.commit(io.n);
  }
}

asio::awaitable<void> drain_input(tcp::socket& socket) {
  char scratch[16384];
  std::size_t total = 0;
  while (total < CLOSE_LINGER_BYTES) {
    IoResult io = io_result(co_await socket.async_read_some(asio::buffer(scratch), use_tuple));
    if (io.ec) break;
    total += io.n;
  }
}

// Half-closes, drops what the peer still sends for a moment, then closes.
asio::awaitable<void> close_gracefully(tcp::socket& socket) {
  using namespace asio::experimental::awaitable_operators;
  error_code ignored;
  socket.shutdown(tcp::socket::shutdown_send, ignored);
  asio::steady_timer timer(co_await asio::this_coro::executor, CLOSE_LINGER);
  co_await (drain_input(socket) || timer.async_wait(use_tuple));
  socket.close(ignored);
}

enum class BodyRead { Complete, TooLarge, Failed };

// Reads the rest of the request's body. With `keep`, appends it to `*keep`; either way stops
// with TooLarge once more than `limit` bytes have arrived.
asio::awaitable<BodyRead> read_body(tcp::socket& socket, beast::flat_buffer& buffer,
                                    RequestParser& parser, std::size_t limit, std::string* keep,
                                    error_code& error) {
  char scratch[65536];
  std::size_t total = 0;
  while (!parser.is_done()) {
    parser.get().body().data = scratch;
    parser.get().body().size = sizeof scratch;
    IoResult io = io_result(co_await http::async_read(socket, buffer, parser, use_tuple));
    error_code ec = io.ec == http::error::need_buffer ? error_code{} : io.ec;
    std::size_t got = sizeof scratch - parser.get().body().size;
    total += got;
    if (total > limit) co_return BodyRead::TooLarge;
    if (keep) keep->append(scratch, got);
    if (ec) {
      error = ec;
      co_return BodyRead::Failed;
    }
  }
  co_return BodyRead::Complete;
}

bool expects_continue(const http::request<http::buffer_body>& request) {
  auto it = request.find(http::field::expect);
  return it != request.end() && beast::iequals(it->value(), "100-continue");
}

std::optional<std::string_view> first_content_type(const http::request<http::buffer_body>& request) {
  auto it = request.find(http::field::content_type);
  if (it == request.end()) return std::nullopt;
  return std::string_view(it->value().data(), it->value().size());
}

// How often a streamed answer looks whether its client is still there.
constexpr std::chrono::milliseconds PEER_LOOK_INTERVAL{200};

enum class PeerState { Quiet, SentMore, Gone };

// A look at the socket that takes nothing from it: its input ended or failed (Gone), bytes
// wait (SentMore), or nothing has come (Quiet).
PeerState peek_peer(tcp::socket& socket) {
  char byte;
  ssize_t n = ::recv(socket.native_handle(), &byte, 1, MSG_PEEK | MSG_DONTWAIT);
  if (n > 0) return PeerState::SentMore;
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return PeerState::Quiet;
  return PeerState::Gone;
}

struct Connection {
  tcp::socket socket;
  std::shared_ptr<const ServeContext> context;
  beast::flat_buffer buffer;
  bool input_ended = false;  // the peer's end was read: what is buffered is all there is

  // An answer after which the connection ends: bodiless, then a graceful close.
  asio::awaitable<void> fail_and_close(unsigned status, bool http10) {
    std::string bytes = response_bytes(empty_response(status), http10, false, now_http_date());
    bool written = co_await write_all(socket, bytes);
    if (written) co_await close_gracefully(socket);
  }

  // Streams the events of one chat answer until its channel closes. False when the
  // connection is gone (or, for HTTP/1.0, always: the body ends with the connection).
  asio::awaitable<bool> stream_events(StreamReceiver receiver, bool http10) {
    auto framing = http10 ? BodyFraming::UntilClose : BodyFraming::Chunked;
    auto frame = [http10](std::string_view data) {
      return http10 ? std::string(data) : chunk_bytes(data);
    };
    bool written =
        co_await write_all(socket, response_head(event_stream_response(), http10, framing, 0, now_http_date()));
    if (!written) co_return false;

    auto executor = co_await asio::this_coro::executor;
    auto timer = std::make_shared<asio::steady_timer>(executor);
    // Called on the generating thread: it may only schedule the wake-up, on this strand,
    // where the timer lives; a stream that has ended leaves the weak handle empty.
    std::function<void()> waker = [executor, weak = std::weak_ptr(timer)] {
      asio::post(executor, [weak] {
        if (auto t = weak.lock()) t->cancel();
      });
    };
    const auto interval = context->keep_alive_interval;
    auto deadline = std::chrono::steady_clock::now() + interval;
    // A peer whose input ends while its answer streams has gone: the body is dropped, and
    // with it the channel, so the generation stops at its next step instead of running on
    // until a write fails. Input that arrives instead (a request sent ahead) stays queued
    // for its turn, and the watch ends there.
    bool watch_peer = !input_ended && buffer.size() == 0;
    for (;;) {
      ReceiveResult next = receiver.poll(waker);
      if (auto* message = std::get_if<StreamMessage>(&next)) {
        written = co_await write_all(socket, frame(event_bytes(*message)));
        if (!written) co_return false;
        deadline = std::chrono::steady_clock::now() + interval;
        continue;
      }
      if (std::holds_alternative<ReceiveClosed>(next)) break;
      if (std::chrono::steady_clock::now() >= deadline) {
        written = co_await write_all(socket, frame(KEEP_ALIVE_COMMENT));
        if (!written) co_return false;
        deadline = std::chrono::steady_clock::now() + interval;
        continue;
      }
      if (watch_peer) {
        PeerState peer = peek_peer(socket);
        if (peer == PeerState::Gone) co_return false;
        if (peer == PeerState::SentMore) watch_peer = false;
      }
      // Watching, the wait is cut into short looks at the socket; no operation on it runs
      // beside the stream's own reads and writes.
      timer->expires_at(watch_peer ? std::min(deadline, std::chrono::steady_clock::now() + PEER_LOOK_INTERVAL)
                                   : deadline);
      co_await timer->async_wait(use_tuple);  // ends early when the waker cancels it
    }
    if (http10) {
      co_await close_gracefully(socket);
      co_return false;
    }
    co_return co_await write_all(socket, LAST_CHUNK);
  }

  // POST /v1/chat/completions: the body's gate, then the stream. False: the connection
  // is over.
  asio::awaitable<bool> serve_chat(RequestParser& parser, bool http10) {
    auto& request = parser.get();
    auto answer_rejection = [&](const Rejection& r) {
      return response_bytes(rejection_response(r), http10, false, now_http_date());
    };
    if (!is_json_content_type(first_content_type(request))) {
      bool written = co_await write_all(socket, answer_rejection(missing_json_content_type()));
      if (!written) co_return false;
      co_return co_await finish_unread_body(parser, expects_continue(request));
    }
    if (auto length = parser.content_length(); length && *length > MAX_REQUEST_BODY_BYTES) {
      bool written = co_await write_all(socket, answer_rejection(length_limit_exceeded()));
      if (written) co_await close_gracefully(socket);
      co_return false;
    }
    if (expects_continue(request) && !parser.is_done()) {
      bool written = co_await write_all(socket, CONTINUE_INTERIM);
      if (!written) co_return false;
    }
    std::string body;
    error_code read_error;
    BodyRead read = co_await read_body(socket, buffer, parser, MAX_REQUEST_BODY_BYTES, &body, read_error);
    if (read != BodyRead::Complete) {
      Rejection r = read == BodyRead::TooLarge ? length_limit_exceeded()
                                               : body_read_failure(read_error.message());
      bool written = co_await write_all(socket, answer_rejection(r));
      if (written) co_await close_gracefully(socket);
      co_return false;
    }
    auto decoded = decode_chat_body(body);
    body = std::string();
    if (!decoded) co_return co_await write_all(socket, answer_rejection(decoded.error()));
    StreamReceiver receiver =
        chat_completions(context->state, std::move(*decoded), context->blocking);
    co_return co_await stream_events(std::move(receiver), http10);
  }

  // After an answer that left the request's body unread: drain a short one so the next
  // request can follow; close after a long one, or when the client waits for a
  // 100-continue that was never sent (it may never send the body).
  asio::awaitable<bool> finish_unread_body(RequestParser& parser, bool expected_continue) {
    if (parser.is_done()) co_return true;
    if (!expected_continue) {
      error_code ignored;
      BodyRead read = co_await read_body(socket, buffer, parser, MAX_DRAINED_BODY_BYTES, nullptr, ignored);
      if (read == BodyRead::Complete) co_return true;
      if (read == BodyRead::Failed) co_return false;
    }
    co_await close_gracefully(socket);
    co_return false;
  }

  enum class HeadStatus { Complete, TooLarge, Gone };
  struct HeadRead {
    HeadStatus status;
    std::size_t length = 0;  // Complete: the head's bytes at the start of the buffer
  };

  // Reads until the buffer starts with a whole request head; never buffers more than
  // MAX_HEAD_BUFFER_BYTES while the head is incomplete.
  asio::awaitable<HeadRead> read_head() {
    std::size_t scanned = 0;
    for (;;) {
      std::string_view input(static_cast<const char*>(buffer.data().data()), buffer.size());
      if (scanned == 0) {
        std::size_t skip = leading_empty_line_bytes(input);
        buffer.consume(skip);
        input.remove_prefix(skip);
      }
      if (std::size_t end = find_head_end(input, scanned); end != 0) co_return HeadRead{HeadStatus::Complete, end};
      scanned = input.size();
      if (input.size() >= MAX_HEAD_BUFFER_BYTES) co_return HeadRead{HeadStatus::TooLarge};
      if (input_ended) co_return HeadRead{HeadStatus::Gone};
      std::size_t room = std::min<std::size_t>(65536, MAX_HEAD_BUFFER_BYTES - input.size());
      IoResult io = io_result(co_await socket.async_read_some(buffer.prepare(room), use_tuple));
      if (io.ec) co_return HeadRead{HeadStatus::Gone};  // a partial head at the end is dropped
      buffer.commit(io.n);
    }
  }

  // One request and its answer. False: the connection is over.
  asio::awaitable<bool> serve_request() {
    RequestParser parser;
    parser.header_limit(MAX_HEAD_BUFFER_BYTES);
    parser.body_limit(boost::none);  // each route sets its own
    HeadRead head = co_await read_head();
    if (head.status == HeadStatus::Gone) co_return false;
    if (head.status == HeadStatus::TooLarge) {
      co_await fail_and_close(431, false);
      co_return false;
    }
    std::string_view head_bytes(static_cast<const char*>(buffer.data().data()), head.length);
    switch (check_head_lines(head_bytes, MAX_HEADER_LINES, MAX_HEADER_LINE_BYTES)) {
      case HeadCheck::Ok: break;
      case HeadCheck::TooManyHeaderLines:
      case HeadCheck::HeaderLineTooLong:
        co_await fail_and_close(431, false);
        co_return false;
    }
    error_code parse_error;
    std::size_t parsed = parser.put(asio::buffer(head_bytes.data(), head_bytes.size()), parse_error);
    if (parse_error || !parser.is_header_done()) {
      co_await fail_and_close(400, false);
      co_return false;
    }
    buffer.consume(parsed);
    auto& request = parser.get();
    const bool http10 = request.version() == 10;
    if (request.version() != 10 && request.version() != 11) {
      co_await fail_and_close(400, false);
      co_return false;
    }
    if (request.target().size() > MAX_REQUEST_TARGET_BYTES) {
      co_await fail_and_close(414, http10);
      co_return false;
    }
    // HTTP/1.0 connections end after one answer; HTTP/1.1 ones unless "close" is asked.
    const bool persist = !http10 && request.keep_alive();
    const std::string_view method(request.method_string().data(), request.method_string().size());
    const std::string_view target(request.target().data(), request.target().size());
    const bool head_only = method == "HEAD";
    RouteMatch match = route_request(method, target_path(target));

    bool alive = true;
    if (match.kind == RouteMatch::Kind::Found && match.handler == Handler::ChatCompletions) {
      alive = co_await serve_chat(parser, http10);
    } else {
      Response response = match.kind == RouteMatch::Kind::NotFound          ? empty_response(404)
                          : match.kind == RouteMatch::Kind::MethodNotAllowed ? method_not_allowed(match.allow)
                          : match.handler == Handler::Health                 ? health()
                                                                             : list_models(*context->state);
      alive = co_await write_all(socket, response_bytes(response, http10, head_only, now_http_date()));
      if (alive) alive = co_await finish_unread_body(parser, expects_continue(request));
    }
    if (alive && !persist) {
      co_await close_gracefully(socket);
      alive = false;
    }
    co_return alive;
  }

  asio::awaitable<void> run() {
    bool http1 = co_await detect_http1(socket, buffer, input_ended);
    if (!http1) co_return;
    for (;;) {
      bool more = co_await serve_request();
      if (!more) break;
    }
  }
};

// A free function, not a capturing lambda: the coroutine frame must own the connection.
asio::awaitable<void> run_connection(std::shared_ptr<Connection> connection) {
  co_await connection->run();
}

}  // namespace

void start_connection(tcp::socket socket, std::shared_ptr<const ServeContext> context) {
  auto executor = socket.get_executor();
  auto connection = std::make_shared<Connection>(Connection{std::move(socket), std::move(context), {}, false});
  asio::co_spawn(
      executor, run_connection(std::move(connection)),
      [](std::exception_ptr) {
        // A connection's failure is its own: nothing is reported and nothing else stops.
      });
}

}  // namespace korvex
