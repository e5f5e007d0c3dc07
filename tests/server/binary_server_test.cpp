// The real program in server mode: start-up lines, the bind failure, streaming from the demo
// model, and the official npm client against it.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "server/server_process.hpp"
#include "server/test_http_client.hpp"
#include "support/gguf_writer.hpp"

namespace korvex {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
using test::TestConnection;

using test::demo_model;
using test::free_port;
using test::ServerProcess;
using test::slurp;
using test::stream_text;
using test::StreamText;

TEST(ServerBinary, PortZeroStartsAndNamesItInTheBanner) {
  ServerProcess p({demo_model, "--server", "0"});
  ASSERT_TRUE(p.wait_for_stderr("korvex server listening on http://0.0.0.0:0\n")) << p.stderr_text();
  std::string out = p.stdout_text();
  EXPECT_NE(out.find("Ready.\nStarting server on port 0...\n"), std::string::npos) << out;
  EXPECT_EQ(out.find("--- Response ---"), std::string::npos);
  EXPECT_FALSE(p.exited());
}

TEST(ServerBinary, PortInUseIsAFatalStopWithoutBanner) {
  int holder = ::socket(AF_INET, SOCK_STREAM, 0);
  int one = 1;
  ::setsockopt(holder, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_ANY);
  ASSERT_EQ(::bind(holder, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_EQ(::listen(holder, 1), 0);
  socklen_t len = sizeof addr;
  ::getsockname(holder, reinterpret_cast<sockaddr*>(&addr), &len);
  std::string port = std::to_string(ntohs(addr.sin_port));

  ServerProcess p({demo_model, "--server", port});
  EXPECT_EQ(p.wait_exit(), 101);
  ::close(holder);
  std::string err = p.stderr_text();
  EXPECT_NE(err.find("cannot bind 0.0.0.0:" + port + ": Address already in use (os error 98)\n"), std::string::npos) << err;
  EXPECT_EQ(err.find("listening"), std::string::npos);
  EXPECT_NE(p.stdout_text().find("Starting server on port " + port + "...\n"), std::string::npos);
}

TEST(ServerBinary, StreamsFromTheDemoModel) {
  uint16_t port = free_port();
  ServerProcess p({demo_model, "--server", std::to_string(port)});
  ASSERT_TRUE(p.wait_for_stderr("listening")) << p.stderr_text();

  TestConnection c(port, 60s);
  c.send("GET /v1/models HTTP/1.1\r\n\r\n");
  EXPECT_EQ(c.read_reply().body, R"({"data":[{"id":"stories260K","object":"model","owned_by":"korvex"}],"object":"list"})");

  // Greedy by default, so the same request gives the same text; a seed makes sampling repeat.
  const std::string greedy = R"({"messages":[{"role":"user","content":"Once upon a time"}],"max_tokens":24})";
  const std::string seeded = R"({"messages":[{"role":"user","content":"Once upon a time"}],"max_tokens":24,"temperature":0.9,"seed":11})";
  std::vector<StreamText> runs;
  for (const std::string& body : {greedy, greedy, seeded, seeded}) {
    c.send(test::chat_post(body));
    test::HttpReply r = c.read_reply();
    ASSERT_EQ(r.status_line, "HTTP/1.1 200 OK");
    runs.push_back(stream_text(r.body));
    EXPECT_TRUE(runs.back().done) << r.body;
    EXPECT_GT(runs.back().pieces, 0u) << r.body;
  }
  EXPECT_EQ(runs[0].text, runs[1].text);
  EXPECT_EQ(runs[2].text, runs[3].text);

  // Health answers while generations run.
  TestConnection busy(port, 60s);
  busy.send(test::chat_post(R"({"messages":[],"max_tokens":2000})"));
  busy.read_head();
  TestConnection h(port, 5s);
  h.send("GET /health HTTP/1.1\r\n\r\n");
  EXPECT_EQ(h.read_reply().body, "ok");
}

TEST(ServerBinary, ModelWithoutVocabularyAnswersWithIds) {
  // One layer of width 2 over a vocabulary of 4; without token texts the prompt is [1] and
  // every generated id comes out as "[id]".
  test::GgufBuilder b;
  b.kv("general.architecture", test::mv_str("llama"));
  b.kv("llama.embedding_length", test::mv_u32(2));
  b.kv("llama.block_count", test::mv_u32(1));
  b.kv("llama.feed_forward_length", test::mv_u32(2));
  b.kv("llama.attention.head_count", test::mv_u32(1));
  b.kv("llama.attention.head_count_kv", test::mv_u32(1));
  b.kv("llama.vocab_size", test::mv_u32(4));
  auto m = [](std::vector<uint64_t> dims) {
    std::size_t n = 1;
    for (auto d : dims) n *= d;
    return std::vector<float>(n, 0.25f);
  };
  b.tensor_f32("token_embd.weight", {2, 4}, m({2, 4}));
  b.tensor_f32("output_norm.weight", {2}, m({2}));
  b.tensor_f32("output.weight", {2, 4}, {0, 0, 0, 0, 0, 0, 1, 1});  // id 3 always wins
  for (const char* t : {"attn_q", "attn_k", "attn_v", "attn_output", "ffn_gate", "ffn_up", "ffn_down"})
    b.tensor_f32(std::string("blk.0.") + t + ".weight", {2, 2}, m({2, 2}));
  for (const char* t : {"attn_norm", "ffn_norm"}) b.tensor_f32(std::string("blk.0.") + t + ".weight", {2}, m({2}));
  std::string path = b.write();

  uint16_t port = free_port();
  ServerProcess p({path, "--server", std::to_string(port)});
  ASSERT_TRUE(p.wait_for_stderr("listening")) << p.stderr_text() << p.stdout_text();
  TestConnection c(port, 30s);
  c.send(test::chat_post(R"({"messages":[{"role":"user","content":"ignored"}],"max_tokens":3})"));
  test::HttpReply r = c.read_reply();
  StreamText s = stream_text(r.body);
  EXPECT_TRUE(s.done) << r.body;
  EXPECT_EQ(s.text, "[3][3][3]") << r.body;
  c.send("GET /v1/models HTTP/1.1\r\n\r\n");
  std::string stem = fs::path(path).stem().string();
  EXPECT_NE(c.read_reply().body.find("\"id\":\"" + stem + "\""), std::string::npos) << stem;
}

TEST(ServerBinary, OfficialNpmClientStreamsACompletion) {
  const fs::path client = fs::path(KORVEX_SOURCE_DIR) / "tests/client";
  if (std::system("node --version >/dev/null 2>&1") != 0) GTEST_SKIP() << "node is not installed";
  if (!fs::exists(client / "node_modules/openai")) GTEST_SKIP() << "run npm install in tests/client";

  uint16_t port = free_port();
  ServerProcess p({demo_model, "--server", std::to_string(port)});
  ASSERT_TRUE(p.wait_for_stderr("listening")) << p.stderr_text();

  fs::path out = test::temp_dir() / "node_out.txt";
  std::string command = "cd '" + client.string() + "' && timeout 120 node stream_completion.mjs " +
                        std::to_string(port) + " > '" + out.string() + "' 2>&1";
  ASSERT_EQ(std::system(command.c_str()), 0) << slurp(out);
  std::string printed = slurp(out);

  // The same request over a plain socket gives the text the client put together.
  TestConnection c(port, 60s);
  c.send(test::chat_post(
      R"({"model":"stories260K","messages":[{"role":"user","content":"Once upon a time"}],"max_tokens":24,"temperature":0,"stream":true})"));
  StreamText direct = stream_text(c.read_reply().body);
  ASSERT_TRUE(direct.done);
  ASSERT_FALSE(direct.text.empty());
  EXPECT_EQ(printed, "stories260K\n{\"chunks\":" + std::to_string(direct.pieces) + ",\"text\":\"" + direct.text + "\"}\n");
}

}  // namespace
}  // namespace korvex
