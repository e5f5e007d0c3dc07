// The server's plain parts: routing, the answer head, head framing, parameters, event
// bytes, the stream channel and the blocking pool.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <chrono>
#include <future>
#include <thread>

#include "server/blocking_pool.hpp"
#include "server/chat_completions.hpp"
#include "server/event_stream.hpp"
#include "server/http_response.hpp"
#include "server/request_head.hpp"
#include "server/router.hpp"
#include "server/stream_channel.hpp"

namespace korvex {
namespace {

using namespace std::chrono_literals;

TEST(Router, RouteTable) {
  using Kind = RouteMatch::Kind;
  struct Case {
    const char* method;
    const char* path;
    Kind kind;
    const char* allow;
  };
  const Case cases[] = {
      {"GET", "/health", Kind::Found, ""},
      {"HEAD", "/health", Kind::Found, ""},
      {"GET", "/v1/models", Kind::Found, ""},
      {"HEAD", "/v1/models", Kind::Found, ""},
      {"POST", "/v1/chat/completions", Kind::Found, ""},
      {"POST", "/health", Kind::MethodNotAllowed, "GET,HEAD"},
      {"DELETE", "/v1/models", Kind::MethodNotAllowed, "GET,HEAD"},
      {"BREW", "/health", Kind::MethodNotAllowed, "GET,HEAD"},
      {"get", "/health", Kind::MethodNotAllowed, "GET,HEAD"},  // methods are case-sensitive
      {"GET", "/v1/chat/completions", Kind::MethodNotAllowed, "POST"},
      {"HEAD", "/v1/chat/completions", Kind::MethodNotAllowed, "POST"},
      {"GET", "/health/", Kind::NotFound, ""},
      {"GET", "/Health", Kind::NotFound, ""},
      {"GET", "/v1//models", Kind::NotFound, ""},
      {"GET", "/v1/models/", Kind::NotFound, ""},
      {"POST", "/v1%2Fmodels", Kind::NotFound, ""},
      {"GET", "", Kind::NotFound, ""},
  };
  for (const Case& c : cases) {
    RouteMatch m = route_request(c.method, c.path);
    EXPECT_EQ(m.kind, c.kind) << c.method << " " << c.path;
    if (c.kind == Kind::MethodNotAllowed) {
      EXPECT_EQ(m.allow, c.allow) << c.method << " " << c.path;
    }
  }
  EXPECT_EQ(route_request("GET", "/health").handler, Handler::Health);
  EXPECT_EQ(route_request("GET", "/v1/models").handler, Handler::ListModels);
  EXPECT_EQ(route_request("POST", "/v1/chat/completions").handler, Handler::ChatCompletions);
}

TEST(Router, TargetPath) {
  const std::pair<const char*, const char*> cases[] = {
      {"/health?probe=1", "/health"},
      {"/health", "/health"},
      {"/?", "/"},
      {"http://host:1/v1/models?x", "/v1/models"},
      {"http://host", "/"},
      {"http://host?q", "/"},
      {"host:443", "host:443"},
      {"*", "*"},
  };
  for (auto [target, path] : cases) EXPECT_EQ(target_path(target), path) << target;
}

TEST(ResponseHead, HeaderOrderCaseAndFraming) {
  Response r{200, {{"content-type", "text/event-stream"}, {"cache-control", "no-cache"}}, std::nullopt, ""};
  EXPECT_EQ(response_head(r, false, BodyFraming::Chunked, 0, "D"),
            "HTTP/1.1 200 OK\r\ncontent-type: text/event-stream\r\ncache-control: no-cache\r\n"
            "transfer-encoding: chunked\r\ndate: D\r\n\r\n");
  EXPECT_EQ(response_head(r, true, BodyFraming::UntilClose, 0, "D"),
            "HTTP/1.0 200 OK\r\ncontent-type: text/event-stream\r\ncache-control: no-cache\r\ndate: D\r\n\r\n");

  Response not_allowed{405, {}, std::string("GET,HEAD"), ""};
  EXPECT_EQ(response_bytes(not_allowed, false, false, "D"),
            "HTTP/1.1 405 Method Not Allowed\r\nallow: GET,HEAD\r\ncontent-length: 0\r\ndate: D\r\n\r\n");
  Response ok{200, {{"content-type", "text/plain; charset=utf-8"}}, std::nullopt, "ok"};
  EXPECT_EQ(response_bytes(ok, false, true, "D"),
            "HTTP/1.1 200 OK\r\ncontent-type: text/plain; charset=utf-8\r\ncontent-length: 2\r\ndate: D\r\n\r\n");
  EXPECT_EQ(response_bytes(ok, false, false, "D").substr(response_bytes(ok, false, true, "D").size()), "ok");
}

TEST(ResponseHead, ReasonPhrases) {
  const std::pair<unsigned, const char*> cases[] = {
      {200, "OK"}, {400, "Bad Request"}, {404, "Not Found"}, {405, "Method Not Allowed"},
      {413, "Payload Too Large"}, {414, "URI Too Long"}, {415, "Unsupported Media Type"},
      {422, "Unprocessable Entity"}, {431, "Request Header Fields Too Large"},
  };
  for (auto [status, phrase] : cases) EXPECT_EQ(reason_phrase(status), phrase) << status;
}

TEST(ResponseHead, HttpDateIsImfFixdate) {
  EXPECT_EQ(http_date(0), "Thu, 01 Jan 1970 00:00:00 GMT");
  EXPECT_EQ(http_date(1796755668), "Tue, 08 Dec 2026 18:47:48 GMT");
  EXPECT_EQ(http_date(951782400), "Tue, 29 Feb 2000 00:00:00 GMT");
}

TEST(ResponseHead, Chunks) {
  EXPECT_EQ(chunk_bytes("data: x\n\n"), "9\r\ndata: x\n\n\r\n");
  EXPECT_EQ(chunk_bytes(std::string(26, 'a')).substr(0, 4), "1a\r\n");
}

TEST(RequestHead, FindsTheEndAcrossPieces) {
  EXPECT_EQ(find_head_end("GET / HTTP/1.1\r\n\r\n", 0), 18u);
  EXPECT_EQ(find_head_end("GET / HTTP/1.1\r\nA: b\r\n\r\nNEXT", 0), 24u);
  EXPECT_EQ(find_head_end("GET / HTTP/1.1\n\n", 0), 16u);
  EXPECT_EQ(find_head_end("GET / HTTP/1.1\r\nA: b\r\n", 0), 0u);
  EXPECT_EQ(find_head_end("GET / HTTP/1.1\r\nA: b\r\n\r", 0), 0u);
  // Resuming where an earlier scan stopped still sees an end split over two reads.
  std::string head = "GET / HTTP/1.1\r\nA: b\r\n\r\n";
  for (std::size_t cut = 1; cut < head.size(); ++cut) {
    ASSERT_EQ(find_head_end(std::string_view(head).substr(0, cut), 0), 0u) << cut;
    EXPECT_EQ(find_head_end(head, cut), head.size()) << cut;
  }
  EXPECT_EQ(leading_empty_line_bytes("\r\n\r\nGET"), 4u);
  EXPECT_EQ(leading_empty_line_bytes("GET"), 0u);
}

TEST(RequestHead, LineLimits) {
  auto head_with = [](int lines, std::size_t value_bytes) {
    std::string h = "GET / HTTP/1.1\r\n";
    for (int i = 0; i < lines; ++i) h += "x" + std::to_string(i) + ": " + std::string(value_bytes, 'v') + "\r\n";
    return h + "\r\n";
  };
  EXPECT_EQ(check_head_lines(head_with(100, 1), 100, 65533), HeadCheck::Ok);
  EXPECT_EQ(check_head_lines(head_with(101, 1), 100, 65533), HeadCheck::TooManyHeaderLines);
  EXPECT_EQ(check_head_lines(head_with(0, 0), 100, 65533), HeadCheck::Ok);
  EXPECT_EQ(check_head_lines(head_with(1, 65529), 100, 65533), HeadCheck::Ok);  // "x0: " + 65529
  EXPECT_EQ(check_head_lines(head_with(1, 65530), 100, 65533), HeadCheck::HeaderLineTooLong);
}

TEST(ChatParameters, DefaultsAndClamps) {
  struct Case {
    ChatRequest request;
    std::size_t max_tokens, top_k;
    float temperature, repeat_penalty;
  };
  auto req = [](std::optional<uint64_t> max_tokens, std::optional<float> temperature,
                std::optional<uint64_t> top_k, std::optional<float> penalty) {
    ChatRequest r;
    r.max_tokens = max_tokens;
    r.temperature = temperature;
    r.top_k = top_k;
    r.repeat_penalty = penalty;
    return r;
  };
  const Case cases[] = {
      {req({}, {}, {}, {}), 512, 40, 0.0f, 1.0f},
      {req(0, 0.7f, 0, 0.5f), 0, 1, 0.7f, 1.0f},
      {req(100000, -3.0f, 5, 1.3f), 100000, 5, 0.0f, 1.3f},
      {req(7, -INFINITY, 1, -INFINITY), 7, 1, 0.0f, 1.0f},
      {req(7, INFINITY, 2, INFINITY), 7, 2, INFINITY, INFINITY},
  };
  for (const Case& c : cases) {
    GenerateParams p = generation_params(c.request);
    EXPECT_EQ(p.max_tokens, c.max_tokens);
    EXPECT_EQ(p.top_k, c.top_k);
    EXPECT_EQ(p.temperature, c.temperature);
    EXPECT_EQ(p.repeat_penalty, c.repeat_penalty);
  }
  ChatRequest seeded;
  seeded.seed = 42;
  EXPECT_EQ(generation_params(seeded).seed, std::optional<uint64_t>(42));
  EXPECT_FALSE(generation_params(ChatRequest{}).seed.has_value());
}

TEST(ChatParameters, PromptWithoutTokenizerIsOne) {
  ChatRequest r;
  r.messages = {{"user", "anything"}, {"system", "else"}};
  EXPECT_EQ(prompt_ids(nullptr, r), std::vector<std::size_t>{1});
  EXPECT_EQ(prompt_ids(nullptr, ChatRequest{}), std::vector<std::size_t>{1});
}

TEST(EventBytes, PiecesAndEnd) {
  EXPECT_EQ(event_bytes(StreamMessage::token("hello")),
            "data: {\"choices\":[{\"delta\":{\"content\":\"hello\"},\"finish_reason\":null}]}\n\n");
  EXPECT_EQ(event_bytes(StreamMessage::token("\n[Error: empty prompt]")),
            "data: {\"choices\":[{\"delta\":{\"content\":\"\\n[Error: empty prompt]\"},\"finish_reason\":null}]}\n\n");
  EXPECT_EQ(event_bytes(StreamMessage::token("q\"b\\n\nt\t\x1f/é")),
            "data: {\"choices\":[{\"delta\":{\"content\":\"q\\\"b\\\\n\\nt\\t\\u001f/é\"},\"finish_reason\":null}]}\n\n");
  EXPECT_EQ(event_bytes(StreamMessage::done()), "data: [DONE]\n\n");
}

std::string text_of(const ReceiveResult& r) {
  const auto* m = std::get_if<StreamMessage>(&r);
  if (!m) return "<none>";
  if (const auto* t = std::get_if<StreamMessage::Token>(&m->value)) return t->text;
  return "<done>";
}

TEST(StreamChannel, OrderAndCloseAfterLastSender) {
  StreamChannel ch = make_stream_channel(4);
  {
    StreamSender second = ch.sender;
    EXPECT_TRUE(ch.sender.send_blocking(StreamMessage::token("a")));
    EXPECT_TRUE(second.send_blocking(StreamMessage::token("b")));
    EXPECT_TRUE(second.send_blocking(StreamMessage::done()));
  }
  { StreamSender gone = std::move(ch.sender); }
  // Queued messages still come out, in order, before the close.
  EXPECT_EQ(text_of(ch.receiver.poll({})), "a");
  EXPECT_EQ(text_of(ch.receiver.poll({})), "b");
  EXPECT_EQ(text_of(ch.receiver.poll({})), "<done>");
  EXPECT_TRUE(std::holds_alternative<ReceiveClosed>(ch.receiver.poll({})));
}

TEST(StreamChannel, WakerRunsOnNextSendAndOnLastRelease) {
  StreamChannel ch = make_stream_channel(4);
  std::atomic<int> wakes{0};
  EXPECT_TRUE(std::holds_alternative<ReceiveEmpty>(ch.receiver.poll([&] { ++wakes; })));
  ch.sender.send_blocking(StreamMessage::token("x"));
  EXPECT_EQ(wakes.load(), 1);
  ch.sender.send_blocking(StreamMessage::token("y"));
  EXPECT_EQ(wakes.load(), 1);  // a waker is used once
  EXPECT_EQ(text_of(ch.receiver.poll({})), "x");
  EXPECT_EQ(text_of(ch.receiver.poll({})), "y");
  EXPECT_TRUE(std::holds_alternative<ReceiveEmpty>(ch.receiver.poll([&] { ++wakes; })));
  { StreamSender gone = std::move(ch.sender); }
  EXPECT_EQ(wakes.load(), 2);
  EXPECT_TRUE(std::holds_alternative<ReceiveClosed>(ch.receiver.poll({})));
}

TEST(StreamChannel, FullQueueBlocksUntilTakenOrReceiverGone) {
  auto ch = std::make_unique<StreamChannel>(make_stream_channel(2));
  StreamSender sender = ch->sender;
  ASSERT_TRUE(sender.send_blocking(StreamMessage::token("1")));
  ASSERT_TRUE(sender.send_blocking(StreamMessage::token("2")));
  auto third = std::async(std::launch::async, [&] { return sender.send_blocking(StreamMessage::token("3")); });
  EXPECT_EQ(third.wait_for(100ms), std::future_status::timeout);
  EXPECT_EQ(text_of(ch->receiver.poll({})), "1");
  ASSERT_EQ(third.wait_for(5s), std::future_status::ready);
  EXPECT_TRUE(third.get());

  auto fourth = std::async(std::launch::async, [&] { return sender.send_blocking(StreamMessage::token("4")); });
  EXPECT_EQ(fourth.wait_for(100ms), std::future_status::timeout);
  { StreamReceiver gone = std::move(ch->receiver); }  // the client went away
  ASSERT_EQ(fourth.wait_for(5s), std::future_status::ready);
  EXPECT_FALSE(fourth.get());
  EXPECT_FALSE(sender.send_blocking(StreamMessage::done()));  // fails at once from now on
}

TEST(BlockingPool, ThreadsOnDemandUpToTheMaximumThenQueue) {
  BlockingPool pool(2, 200ms);
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  std::atomic<int> started{0}, finished{0};
  for (int i = 0; i < 5; ++i) {
    pool.submit([&, released] {
      ++started;
      released.wait();
      ++finished;
    });
  }
  auto deadline = std::chrono::steady_clock::now() + 5s;
  while (started.load() < 2 && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(5ms);
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(started.load(), 2);  // the rest wait in the queue
  EXPECT_EQ(pool.thread_count(), 2u);
  release.set_value();
  while (finished.load() < 5 && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(5ms);
  EXPECT_EQ(finished.load(), 5);
  // Idle threads end after their timeout.
  while (pool.thread_count() > 0 && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(20ms);
  EXPECT_EQ(pool.thread_count(), 0u);
}

}  // namespace
}  // namespace korvex
