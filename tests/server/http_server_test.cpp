// The HTTP service end to end over loopback sockets, with scripted generations in place of
// the model.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <regex>
#include <thread>

#include "common/fatal.hpp"
#include "server/chat_completions.hpp"
#include "server/server.hpp"
#include "server/test_http_client.hpp"

namespace korvex {
namespace {

using namespace std::chrono_literals;
using test::chat_post;
using test::HttpReply;
using test::TestConnection;

Runtime& test_runtime() {
  static std::shared_ptr<Runtime> runtime = build_runtime(4);
  return *runtime;
}

uint16_t start_server(GenerationRunner run, std::string model_id = "q4",
                      std::chrono::milliseconds keep_alive = KEEP_ALIVE_INTERVAL) {
  auto state = std::make_shared<AppState>();
  state->model_id = std::move(model_id);
  state->run_generation = std::move(run);
  return serve_locally(test_runtime(), state, LocalServerOptions{keep_alive});
}

GenerationRunner pieces(std::vector<std::string> texts) {
  return [texts](const GenerationJob&, const GenerateParams&, const TokenSink& sink) {
    for (const auto& t : texts) sink(t);
  };
}

std::string piece_event(std::string_view json_string_body) {
  return "data: {\"choices\":[{\"delta\":{\"content\":\"" + std::string(json_string_body) +
         "\"},\"finish_reason\":null}]}\n\n";
}

// Waits (bounded) until `done` holds.
template <typename Pred>
bool eventually(Pred done, std::chrono::milliseconds limit = 10s) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

const std::regex date_pattern("(Mon|Tue|Wed|Thu|Fri|Sat|Sun), \\d\\d (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) \\d{4} \\d\\d:\\d\\d:\\d\\d GMT");

TEST(HttpSurface, EveryRowOfTheTable) {
  uint16_t port = start_server(pieces({}), "q4");
  const std::string models = R"({"data":[{"id":"q4","object":"model","owned_by":"korvex"}],"object":"list"})";
  struct Case {
    std::string request;
    std::string status_line;
    std::vector<std::string> header_names;  // in order
    std::vector<std::pair<std::string, std::string>> values;
    std::string body;
    bool head = false;
  };
  const std::vector<std::string> text_headers{"content-type", "content-length", "date"};
  const std::vector<std::string> empty_405{"allow", "content-length", "date"};
  const std::vector<std::string> empty_404{"content-length", "date"};
  std::vector<Case> cases = {
      {"GET /health HTTP/1.1\r\n\r\n", "HTTP/1.1 200 OK", text_headers,
       {{"content-type", "text/plain; charset=utf-8"}, {"content-length", "2"}}, "ok"},
      {"HEAD /health HTTP/1.1\r\n\r\n", "HTTP/1.1 200 OK", text_headers,
       {{"content-type", "text/plain; charset=utf-8"}, {"content-length", "2"}}, "", true},
      {"GET /health?probe=1 HTTP/1.1\r\n\r\n", "HTTP/1.1 200 OK", text_headers, {}, "ok"},
      {"GET /v1/models HTTP/1.1\r\n\r\n", "HTTP/1.1 200 OK", text_headers,
       {{"content-type", "application/json"}, {"content-length", "75"}}, models},
      {"GET /v1/models?x=1 HTTP/1.1\r\ncontent-length: 3\r\n\r\nabc", "HTTP/1.1 200 OK", text_headers, {}, models},
      {"HEAD /v1/models HTTP/1.1\r\n\r\n", "HTTP/1.1 200 OK", text_headers, {{"content-length", "75"}}, "", true},
      {"POST /health HTTP/1.1\r\ncontent-length: 0\r\n\r\n", "HTTP/1.1 405 Method Not Allowed", empty_405,
       {{"allow", "GET,HEAD"}, {"content-length", "0"}}, ""},
      {"DELETE /v1/models HTTP/1.1\r\n\r\n", "HTTP/1.1 405 Method Not Allowed", empty_405, {{"allow", "GET,HEAD"}}, ""},
      {"BREW /health HTTP/1.1\r\n\r\n", "HTTP/1.1 405 Method Not Allowed", empty_405, {{"allow", "GET,HEAD"}}, ""},
      {"GET /v1/chat/completions HTTP/1.1\r\n\r\n", "HTTP/1.1 405 Method Not Allowed", empty_405, {{"allow", "POST"}}, ""},
      {"HEAD /v1/chat/completions HTTP/1.1\r\n\r\n", "HTTP/1.1 405 Method Not Allowed", empty_405, {{"allow", "POST"}}, "", true},
      {"GET /health/ HTTP/1.1\r\n\r\n", "HTTP/1.1 404 Not Found", empty_404, {{"content-length", "0"}}, ""},
      {"GET /Health HTTP/1.1\r\n\r\n", "HTTP/1.1 404 Not Found", empty_404, {}, ""},
      {"POST /v1//models HTTP/1.1\r\ncontent-length: 0\r\n\r\n", "HTTP/1.1 404 Not Found", empty_404, {}, ""},
      {"PUT /v1/models/ HTTP/1.1\r\n\r\n", "HTTP/1.1 404 Not Found", empty_404, {}, ""},
      {"GET /v1%2Fmodels HTTP/1.1\r\n\r\n", "HTTP/1.1 404 Not Found", empty_404, {}, ""},
  };
  // All rows on one persistent connection: each answer must leave it usable.
  TestConnection c(port);
  for (const Case& k : cases) {
    SCOPED_TRACE(k.request);
    c.send(k.request);
    HttpReply r = c.read_reply(k.head);
    EXPECT_EQ(r.status_line, k.status_line);
    EXPECT_EQ(r.header_names(), k.header_names);
    for (const auto& [name, value] : k.values) EXPECT_EQ(r.header(name), value) << name;
    EXPECT_TRUE(std::regex_match(r.header("date"), date_pattern)) << r.header("date");
    EXPECT_EQ(r.body, k.body);
  }
  // A HEAD answer has no body: the next answer starts right after its head.
  c.send("GET /health HTTP/1.1\r\n\r\n");
  EXPECT_EQ(c.read_reply().body, "ok");
}

TEST(HttpSurface, ModelListEscapesTheModelId) {
  uint16_t port = start_server(pieces({}), "a\"b\\c\td\x01" "é");
  TestConnection c(port);
  c.send("GET /v1/models HTTP/1.1\r\n\r\n");
  HttpReply r = c.read_reply();
  const std::string expected = "{\"data\":[{\"id\":\"a\\\"b\\\\c\\td\\u0001é\",\"object\":\"model\",\"owned_by\":\"korvex\"}],\"object\":\"list\"}";
  EXPECT_EQ(r.body, expected);
  EXPECT_EQ(r.header("content-length"), std::to_string(expected.size()));
}

TEST(HttpConnection, PipelinedRequestsAreAnsweredInOrder) {
  uint16_t port = start_server(pieces({"x"}));
  TestConnection c(port);
  c.send("GET /health HTTP/1.1\r\n\r\nGET /v1/models HTTP/1.1\r\n\r\n" + chat_post("{\"messages\":[]}") +
         "\r\nGET /nowhere HTTP/1.1\r\n\r\n");
  EXPECT_EQ(c.read_reply().body, "ok");
  EXPECT_EQ(c.read_reply().header("content-type"), "application/json");
  HttpReply stream = c.read_reply();
  EXPECT_EQ(stream.body, piece_event("x") + "data: [DONE]\n\n");
  EXPECT_EQ(c.read_reply().status_line, "HTTP/1.1 404 Not Found");
}

TEST(HttpConnection, Http2PrefaceIsClosedWithoutAnswer) {
  uint16_t port = start_server(pieces({}));
  {
    TestConnection c(port);
    c.send("PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n");
    EXPECT_TRUE(c.closed_by_peer());
    EXPECT_EQ(c.pending, "");
  }
  {
    // The same preface in two pieces.
    TestConnection c(port);
    c.send("PRI * HTTP/2.0\r\n");
    std::this_thread::sleep_for(50ms);
    c.send("\r\nSM\r\n\r\n");
    EXPECT_TRUE(c.closed_by_peer());
    EXPECT_EQ(c.pending, "");
  }
  {
    // "PRI" followed by anything else is HTTP/1.
    TestConnection c(port);
    c.send("PRI * HTTP/1.1\r\n\r\n");
    EXPECT_EQ(c.read_reply().status_line, "HTTP/1.1 404 Not Found");
  }
}

TEST(HttpConnection, BadHeadsAreRefusedAndClosed) {
  uint16_t port = start_server(pieces({}));
  auto headers = [](int n) {
    std::string h;
    for (int i = 0; i < n; ++i) h += "x-" + std::to_string(i) + ": v\r\n";
    return h;
  };
  struct Case {
    std::string request;
    std::string status_line;  // empty: routed normally, connection stays open
  };
  const Case cases[] = {
      {"GET /" + std::string(65534, 'a') + " HTTP/1.1\r\n\r\n", "HTTP/1.1 414 URI Too Long"},
      {"GET /" + std::string(65533, 'a') + " HTTP/1.1\r\n\r\n", ""},
      {"GET / HTTP/1.1\r\n" + headers(101) + "\r\n", "HTTP/1.1 431 Request Header Fields Too Large"},
      {"GET / HTTP/1.1\r\n" + headers(100) + "\r\n", ""},
      {"GET / HTTP/1.1\r\nx: " + std::string(417792, 'a'), "HTTP/1.1 431 Request Header Fields Too Large"},
      {"GET / HTTP/1.1\r\nx: " + std::string(417792 - 25, 'a') + "\r\n\r\n", "HTTP/1.1 431 Request Header Fields Too Large"},
      {"G(T / HTTP/1.1\r\n\r\n", "HTTP/1.1 400 Bad Request"},
      {"GET / HTTP/3.0\r\n\r\n", "HTTP/1.1 400 Bad Request"},
      {"GET / HTTP/1.1\r\nbad header\r\n\r\n", "HTTP/1.1 400 Bad Request"},
      {"GET /a b HTTP/1.1\r\n\r\n", "HTTP/1.1 400 Bad Request"},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.request.substr(0, 40));
    TestConnection c(port);
    c.send(k.request);
    HttpReply r = c.read_reply();
    if (k.status_line.empty()) {
      EXPECT_EQ(r.status_line, "HTTP/1.1 404 Not Found");
      c.send("GET /health HTTP/1.1\r\n\r\n");
      EXPECT_EQ(c.read_reply().body, "ok");
    } else {
      EXPECT_EQ(r.status_line, k.status_line);
      EXPECT_EQ(r.header("content-length"), "0");
      EXPECT_TRUE(c.closed_by_peer());
    }
  }
}

TEST(HttpConnection, HeadSentByteByByteIsAnswered) {
  uint16_t port = start_server(pieces({}));
  TestConnection c(port);
  for (char ch : std::string("GET /health HTTP/1.1\r\n\r\n")) {
    c.send(std::string(1, ch));
    std::this_thread::sleep_for(2ms);
  }
  EXPECT_EQ(c.read_reply().body, "ok");
}

TEST(HttpConnection, Http10IsAnsweredAsHttp10AndClosed) {
  uint16_t port = start_server(pieces({"a", "b"}));
  {
    TestConnection c(port);
    c.send("GET /health HTTP/1.0\r\n\r\n");
    HttpReply r = c.read_reply();
    EXPECT_EQ(r.status_line, "HTTP/1.0 200 OK");
    EXPECT_EQ(r.body, "ok");
    EXPECT_TRUE(c.closed_by_peer());
  }
  {
    // The stream has no length: its end is the end of the connection.
    TestConnection c(port);
    std::string body = "{\"messages\":[]}";
    c.send("POST /v1/chat/completions HTTP/1.0\r\ncontent-type: application/json\r\ncontent-length: " +
           std::to_string(body.size()) + "\r\n\r\n" + body);
    HttpReply r = c.read_reply();
    EXPECT_EQ(r.status_line, "HTTP/1.0 200 OK");
    EXPECT_EQ(r.header_names(), (std::vector<std::string>{"content-type", "cache-control", "date"}));
    EXPECT_EQ(r.body, piece_event("a") + piece_event("b") + "data: [DONE]\n\n");
  }
  {
    TestConnection c(port);
    c.send("GET /health HTTP/1.1\r\nconnection: close\r\n\r\n");
    EXPECT_EQ(c.read_reply().body, "ok");
    EXPECT_TRUE(c.closed_by_peer());
  }
}

TEST(HttpConnection, ContinueOnlyForAcceptedChatBodies) {
  uint16_t port = start_server(pieces({"hi"}));
  const std::string body = "{\"messages\":[]}";
  auto head = [&](std::string_view type, std::string_view path = "/v1/chat/completions") {
    return "POST " + std::string(path) + " HTTP/1.1\r\ncontent-type: " + std::string(type) +
           "\r\nexpect: 100-continue\r\ncontent-length: " + std::to_string(body.size()) + "\r\n\r\n";
  };
  {
    TestConnection c(port);
    c.send(head("application/json"));
    EXPECT_EQ(c.read_exact(25), "HTTP/1.1 100 Continue\r\n\r\n");
    c.send(body);
    HttpReply r = c.read_reply();
    EXPECT_EQ(r.status_line, "HTTP/1.1 200 OK");
    EXPECT_EQ(r.body, piece_event("hi") + "data: [DONE]\n\n");
  }
  {
    TestConnection c(port);
    c.send(head("text/plain"));
    HttpReply r = c.read_reply();
    EXPECT_EQ(r.status_line, "HTTP/1.1 415 Unsupported Media Type");
    EXPECT_EQ(r.body, "Expected request with `Content-Type: application/json`");
  }
  {
    TestConnection c(port);
    c.send("GET /health HTTP/1.1\r\nexpect: 100-continue\r\n\r\n");
    HttpReply r = c.read_reply();
    EXPECT_EQ(r.status_line, "HTTP/1.1 200 OK");
    EXPECT_EQ(r.body, "ok");
  }
}

TEST(ChatRoute, RejectionsAnswerAndKeepTheConnection) {
  uint16_t port = start_server(pieces({}));
  TestConnection c(port);
  c.send("POST /v1/chat/completions HTTP/1.1\r\ncontent-length: 15\r\n\r\n{\"messages\":[]}");
  HttpReply r = c.read_reply();
  EXPECT_EQ(r.status_line, "HTTP/1.1 415 Unsupported Media Type");
  EXPECT_EQ(r.header_names(), (std::vector<std::string>{"content-type", "content-length", "date"}));
  EXPECT_EQ(r.header("content-type"), "text/plain; charset=utf-8");

  c.send(chat_post("{}"));
  r = c.read_reply();
  EXPECT_EQ(r.status_line, "HTTP/1.1 422 Unprocessable Entity");
  EXPECT_EQ(r.body, "Failed to deserialize the JSON body into the target type: missing field `messages` at line 1 column 2");

  c.send(chat_post(""));
  r = c.read_reply();
  EXPECT_EQ(r.status_line, "HTTP/1.1 400 Bad Request");
  EXPECT_EQ(r.body, "Failed to parse the request body as JSON: EOF while parsing a value at line 1 column 0");

  c.send("GET /health HTTP/1.1\r\n\r\n");
  EXPECT_EQ(c.read_reply().body, "ok");
}

TEST(ChatRoute, BodyLimitWhetherAnnouncedOrChunked) {
  uint16_t port = start_server(pieces({"fits"}));
  const std::size_t limit = 2'097'152;
  std::string exact = "{\"messages\":[]}" + std::string(limit - 15, ' ');
  {
    TestConnection c(port);
    c.send(chat_post(exact));
    HttpReply r = c.read_reply();
    EXPECT_EQ(r.status_line, "HTTP/1.1 200 OK");
    EXPECT_EQ(r.body, piece_event("fits") + "data: [DONE]\n\n");
  }
  {
    TestConnection c(port);
    c.send(chat_post(exact + " "));
    HttpReply r = c.read_reply();
    EXPECT_EQ(r.status_line, "HTTP/1.1 413 Payload Too Large");
    EXPECT_EQ(r.body, "Failed to buffer the request body: length limit exceeded");
  }
  {
    // No length announced: the limit applies as the chunks arrive.
    TestConnection c(port);
    c.send("POST /v1/chat/completions HTTP/1.1\r\ncontent-type: application/json\r\ntransfer-encoding: chunked\r\n\r\n");
    std::string piece(1 << 20, ' ');
    for (int i = 0; i < 3; ++i) c.send(test::TestConnection::chunk(piece));
    HttpReply r = c.read_reply();
    EXPECT_EQ(r.status_line, "HTTP/1.1 413 Payload Too Large");
  }
  {
    TestConnection c(port);
    c.send("POST /v1/chat/completions HTTP/1.1\r\ncontent-type: application/json\r\ntransfer-encoding: chunked\r\n\r\n" +
           test::TestConnection::chunk("{\"messages\":") + test::TestConnection::chunk("[]}") + "0\r\n\r\n");
    EXPECT_EQ(c.read_reply().body, piece_event("fits") + "data: [DONE]\n\n");
  }
}

TEST(ChatRoute, ParametersReachTheGeneration) {
  std::mutex m;
  std::vector<std::pair<std::vector<std::size_t>, GenerateParams>> seen;
  uint16_t port = start_server([&](const GenerationJob& job, const GenerateParams& p, const TokenSink&) {
    std::lock_guard lock(m);
    seen.emplace_back(job.prompt, p);
  });
  TestConnection c(port);
  c.send(chat_post(R"({"messages":[{"role":"user","content":"hi"}]})"));
  c.read_reply();
  c.send(chat_post(R"({"messages":[],"max_tokens":0,"temperature":-2,"top_k":0,"repeat_penalty":0.5,"seed":7})"));
  c.read_reply();
  std::lock_guard lock(m);
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].first, std::vector<std::size_t>{1});  // no tokenizer: the prompt is [1]
  EXPECT_EQ(seen[0].second.max_tokens, 512u);
  EXPECT_EQ(seen[0].second.top_k, 40u);
  EXPECT_EQ(seen[0].second.temperature, 0.0f);
  EXPECT_EQ(seen[0].second.repeat_penalty, 1.0f);
  EXPECT_FALSE(seen[0].second.seed.has_value());
  EXPECT_EQ(seen[1].second.max_tokens, 0u);
  EXPECT_EQ(seen[1].second.top_k, 1u);
  EXPECT_EQ(seen[1].second.temperature, 0.0f);
  EXPECT_EQ(seen[1].second.repeat_penalty, 1.0f);
  EXPECT_EQ(seen[1].second.seed, std::optional<uint64_t>(7));
}

TEST(EventStream, ExactEventBytesInChunks) {
  uint16_t port = start_server(pieces({"hello", "q\"b\\n\nt\t", "\x1f/é"}));
  TestConnection c(port);
  c.send(chat_post(R"({"messages":[{"role":"user","content":"x"}],"model":"m","stream":false})"));
  HttpReply r = c.read_reply();
  EXPECT_EQ(r.status_line, "HTTP/1.1 200 OK");
  EXPECT_EQ(r.header_names(),
            (std::vector<std::string>{"content-type", "cache-control", "transfer-encoding", "date"}));
  EXPECT_EQ(r.header("content-type"), "text/event-stream");
  EXPECT_EQ(r.header("cache-control"), "no-cache");
  EXPECT_EQ(r.header("transfer-encoding"), "chunked");
  // One event per chunk, nothing batched.
  EXPECT_EQ(r.chunks, (std::vector<std::string>{piece_event("hello"), piece_event("q\\\"b\\\\n\\nt\\t"),
                                                piece_event("\\u001f/é"), "data: [DONE]\n\n"}));
}

TEST(EventStream, NoPieceGivesOnlyDone) {
  uint16_t port = start_server(pieces({}));
  TestConnection c(port);
  c.send(chat_post(R"({"messages":[],"max_tokens":0})"));
  EXPECT_EQ(c.read_reply().body, "data: [DONE]\n\n");
}

TEST(EventStream, FatalStopBecomesTheLastPiece) {
  std::atomic<bool> failing{true};
  uint16_t port = start_server([&](const GenerationJob&, const GenerateParams&, const TokenSink& sink) {
    sink("before");
    if (failing) fatal("empty prompt");
  });
  testing::internal::CaptureStderr();
  {
    TestConnection c(port);
    c.send(chat_post(R"({"messages":[]})"));
    HttpReply r = c.read_reply();
    EXPECT_EQ(r.chunks, (std::vector<std::string>{piece_event("before"), piece_event("\\n[Error: empty prompt]"),
                                                  "data: [DONE]\n\n"}));
    // The server goes on serving, on the same connection.
    failing = false;
    c.send(chat_post(R"({"messages":[]})"));
    EXPECT_EQ(c.read_reply().body, piece_event("before") + "data: [DONE]\n\n");
  }
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("empty prompt\nkorvex: generate panicked: empty prompt\n"), std::string::npos) << err;
}

TEST(EventStream, KeepAliveCommentsOnlyWhileNothingArrives) {
  uint16_t port = start_server(
      [](const GenerationJob&, const GenerateParams&, const TokenSink& sink) {
        std::this_thread::sleep_for(1100ms);  // five intervals of silence
        for (int i = 0; i < 10; ++i) {
          sink("p");
          std::this_thread::sleep_for(50ms);  // well under an interval
        }
      },
      "q4", 200ms);
  TestConnection c(port);
  auto start = std::chrono::steady_clock::now();
  c.send(chat_post(R"({"messages":[]})"));
  HttpReply head = c.read_head();  // the head goes out before the job has produced anything
  EXPECT_LT(std::chrono::steady_clock::now() - start, 800ms);
  std::vector<std::string> chunks;
  for (;;) {
    std::string chunk = c.read_chunk();
    if (chunk.empty()) break;
    chunks.push_back(chunk);
  }
  std::size_t first_piece = 0;
  while (first_piece < chunks.size() && chunks[first_piece] == ":\n\n") ++first_piece;
  EXPECT_GE(first_piece, 3u);
  EXPECT_LE(first_piece, 6u);
  std::vector<std::string> rest(chunks.begin() + static_cast<std::ptrdiff_t>(first_piece), chunks.end());
  std::vector<std::string> expected(10, piece_event("p"));
  expected.push_back("data: [DONE]\n\n");
  EXPECT_EQ(rest, expected);
}

TEST(EventStream, ClientThatLeavesDoesNotStopTheGeneration) {
  std::atomic<int> sent{0};
  std::atomic<bool> finished{false};
  // Far more than the channel and the socket buffers hold: the generation only gets to its
  // end if the server lets go of the channel once the client is gone.
  constexpr int total = 1500;
  const std::string filler(16384, 'x');
  uint16_t port = start_server([&](const GenerationJob&, const GenerateParams&, const TokenSink& sink) {
    sink("piece");
    ++sent;
    for (int i = 1; i < total; ++i) {
      sink(filler);
      ++sent;
    }
    finished = true;
  });
  {
    TestConnection c(port);
    c.send(chat_post(R"({"messages":[]})"));
    c.read_head();
    EXPECT_EQ(c.read_chunk(), piece_event("piece"));
  }  // gone mid-stream
  EXPECT_TRUE(eventually([&] { return finished.load(); }));
  EXPECT_EQ(sent.load(), total);
  TestConnection c(port);
  c.send("GET /health HTTP/1.1\r\n\r\n");
  EXPECT_EQ(c.read_reply().body, "ok");
}

TEST(EventStream, TwoStreamsGenerateAtTheSameTime) {
  std::mutex m;
  std::condition_variable cv;
  int inside = 0;
  uint16_t port = start_server([&](const GenerationJob& job, const GenerateParams& p, const TokenSink& sink) {
    {
      std::unique_lock lock(m);
      ++inside;
      cv.notify_all();
      // Only passes when the other generation is running too.
      if (!cv.wait_for(lock, 10s, [&] { return inside >= 2; })) return;
    }
    for (std::size_t i = 0; i < p.max_tokens; ++i) sink(std::to_string(p.max_tokens));
    (void)job;
  });
  TestConnection a(port), b(port);
  a.send(chat_post(R"({"messages":[],"max_tokens":3})"));
  b.send(chat_post(R"({"messages":[],"max_tokens":5})"));
  HttpReply ra = a.read_reply(), rb = b.read_reply();
  EXPECT_EQ(ra.body, piece_event("3") + piece_event("3") + piece_event("3") + "data: [DONE]\n\n");
  std::string five;
  for (int i = 0; i < 5; ++i) five += piece_event("5");
  EXPECT_EQ(rb.body, five + "data: [DONE]\n\n");
}

TEST(EventStream, SlowReaderPausesTheGeneration) {
  constexpr int total = 3000;
  const std::string piece(16384, 'x');
  std::atomic<int> sent{0};
  uint16_t port = start_server([&](const GenerationJob&, const GenerateParams&, const TokenSink& sink) {
    for (int i = 0; i < total; ++i) {
      sink(std::to_string(i) + piece);
      ++sent;
    }
  });
  TestConnection c(port, 20s, 65536);
  c.send(chat_post(R"({"messages":[]})"));
  c.read_head();
  // Not reading: the socket buffers and then the channel's 256 places fill up, and the
  // generation stops advancing.
  int stalled = -1;
  EXPECT_TRUE(eventually([&] {
    int before = sent.load();
    std::this_thread::sleep_for(200ms);
    stalled = sent.load();
    return stalled == before;
  }));
  EXPECT_GE(stalled, 256);
  EXPECT_LT(stalled, total);
  for (int i = 0; i < total; ++i) {
    std::string chunk = c.read_chunk();
    ASSERT_EQ(chunk, piece_event(std::to_string(i) + piece)) << i;
  }
  EXPECT_EQ(c.read_chunk(), "data: [DONE]\n\n");
  EXPECT_EQ(c.read_chunk(), "");
  EXPECT_EQ(sent.load(), total);
}

}  // namespace
}  // namespace korvex
