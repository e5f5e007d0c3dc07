// End-to-end runs of the program in the command-line mode: the start-up lines after the
// summary, the tensor listing, and the chat turn's output byte for byte.
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "engine/generate.hpp"
#include "engine/weights.hpp"
#include "main/chat_turn.hpp"
#include "support/gguf_writer.hpp"
#include "support/uniform_model.hpp"

namespace korvex {
namespace {

using namespace korvex::test;

struct Ran {
  int status = -1;  // exit status, -1 when not a normal exit
  std::string out, err;
};

// Runs the program with the arguments; when `stop_reading_after` is given, closes its
// standard output as soon as that text has been read.
Ran run_korvex(const std::vector<std::string>& args, const std::string& stop_reading_after = "") {
  int out_pipe[2], err_pipe[2];
  if (pipe(out_pipe) != 0 || pipe(err_pipe) != 0) throw std::runtime_error("pipe");
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(out_pipe[1], 1);
    dup2(err_pipe[1], 2);
    close(out_pipe[0]); close(out_pipe[1]); close(err_pipe[0]); close(err_pipe[1]);
    std::vector<char*> argv;
    std::string program = KORVEX_BINARY;
    argv.push_back(program.data());
    std::vector<std::string> copies = args;
    for (auto& a : copies) argv.push_back(a.data());
    argv.push_back(nullptr);
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  close(out_pipe[1]);
  close(err_pipe[1]);
  Ran r;
  int out_fd = out_pipe[0], err_fd = err_pipe[0];
  char buf[4096];
  while (out_fd >= 0 || err_fd >= 0) {
    pollfd fds[2] = {{out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}};
    poll(fds, 2, -1);
    for (int i = 0; i < 2; ++i) {
      int& fd = i == 0 ? out_fd : err_fd;
      if (fd < 0 || fds[i].revents == 0) continue;
      const ssize_t n = read(fd, buf, sizeof buf);
      if (n <= 0) {
        close(fd);
        fd = -1;
        continue;
      }
      (i == 0 ? r.out : r.err).append(buf, static_cast<std::size_t>(n));
      if (i == 0 && !stop_reading_after.empty() && r.out.find(stop_reading_after) != std::string::npos) {
        close(fd);
        fd = -1;
      }
    }
  }
  int wstatus = 0;
  waitpid(pid, &wstatus, 0);
  if (WIFEXITED(wstatus)) r.status = WEXITSTATUS(wstatus);
  return r;
}

const std::string SP = "\xE2\x96\x81";  // the SentencePiece word mark

struct TinyOptions {
  std::size_t vocab = 8;
  std::optional<std::vector<std::string>> tokens;  // the vocabulary, when it has one
  std::vector<float> sinks;                        // layer 0's sinks (3 heads), none when empty
  std::optional<std::size_t> winner;               // the id every greedy pick gives
};

// A one-layer llama model: embed 6, 3 query heads sharing 1 key/value head of width 2.
// Its output matrix is all zeros, so every logit is +0.0 and the greedy pick is always the
// last id of the vocabulary. With a winner, the layers add nothing to the embedding rows
// (all ones), and only the winner's output row (all ones) gives a positive logit.
std::string write_tiny_model(const TinyOptions& o) {
  const std::size_t embed = 6, heads = 3, kv_heads = 1, head_dim = 2, ffn = 4;
  GgufBuilder b;
  b.kv("general.architecture", mv_str("llama"));
  b.kv("llama.embedding_length", mv_u32(embed));
  b.kv("llama.attention.head_count", mv_u32(heads));
  b.kv("llama.attention.head_count_kv", mv_u32(kv_heads));
  b.kv("llama.block_count", mv_u32(1));
  b.kv("llama.feed_forward_length", mv_u32(ffn));
  if (o.tokens) {
    b.kv("tokenizer.ggml.model", mv_str("llama"));
    b.kv("tokenizer.ggml.tokens", mv_str_arr(*o.tokens));
  } else {
    b.kv("llama.vocab_size", mv_u32(o.vocab));
  }
  const std::size_t vocab = o.tokens ? o.tokens->size() : o.vocab;
  auto matrix = [&](const std::string& name, std::size_t rows, std::size_t cols, float scale) {
    std::vector<float> v(rows * cols);
    for (std::size_t i = 0; i < v.size(); ++i) v[i] = scale * static_cast<float>(static_cast<int>(i % 7) - 3);
    b.tensor_f32(name, {cols, rows}, v);
  };
  const float layer_out = o.winner ? 0.0f : 0.1f;
  if (o.winner) b.tensor_f32("token_embd.weight", {embed, vocab}, std::vector<float>(vocab * embed, 1.0f));
  else matrix("token_embd.weight", vocab, embed, 0.25f);
  b.tensor_f32("blk.0.attn_norm.weight", {embed}, std::vector<float>(embed, 1.0f));
  matrix("blk.0.attn_q.weight", heads * head_dim, embed, 0.1f);
  matrix("blk.0.attn_k.weight", kv_heads * head_dim, embed, 0.1f);
  matrix("blk.0.attn_v.weight", kv_heads * head_dim, embed, 0.1f);
  matrix("blk.0.attn_output.weight", embed, heads * head_dim, layer_out);
  if (!o.sinks.empty()) b.tensor_f32("blk.0.attn_sinks.weight", {heads}, o.sinks);
  b.tensor_f32("blk.0.ffn_norm.weight", {embed}, std::vector<float>(embed, 1.0f));
  matrix("blk.0.ffn_gate.weight", ffn, embed, 0.1f);
  matrix("blk.0.ffn_up.weight", ffn, embed, 0.1f);
  matrix("blk.0.ffn_down.weight", embed, ffn, layer_out);
  b.tensor_f32("output_norm.weight", {embed}, std::vector<float>(embed, 1.0f));
  std::vector<float> output(vocab * embed, 0.0f);
  if (o.winner) std::fill_n(output.begin() + static_cast<std::ptrdiff_t>(*o.winner * embed), embed, 1.0f);
  b.tensor_f32("output.weight", {embed, vocab}, output);
  return b.write();
}

std::string head_lines(const std::string& path, std::size_t vocab) {
  return "Opening " + path + "...\n"
         "Architecture : llama\n"
         "embed=6 heads=3 kv_heads=1 head_dim=2 layers=1 ffn=4 vocab=" + std::to_string(vocab) +
         " rope_theta=10000\n"
         "YARN         : scale=1 orig_ctx=0\n";
}

TEST(ChatTurnCli, WithoutVocabularyThePromptIsOneAndFortyTwo) {
  const std::string path = write_tiny_model({.vocab = 50, .sinks = {1.0f, 2.0f, 4.5f}});
  const Ran r = run_korvex({path, "ignored prompt", "3", "--nosys"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out, head_lines(path, 50) +
                       "Tokenizer    : not found\n"
                       "Loading weights...\n"
                       "Ready.\n"
                       "AttnSink L0  : min=1.000 max=4.500 mean=2.500\n"
                       "\n--- Response ---\n"
                       "[49][49][49]"
                       "\n--- End ---\n");
}

TEST(ChatTurnCli, WithoutVocabularyTheStopIdAndTheTokenLimit) {
  {  // id 2 stops at once
    const std::string path = write_tiny_model({.vocab = 50, .winner = 2});
    const Ran r = run_korvex({path, "p", "10"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(r.out.ends_with("Ready.\n\n--- Response ---\n\n--- End ---\n")) << r.out;
  }
  {  // 0 new tokens: the prompt still runs through the model
    const std::string path = write_tiny_model({.vocab = 50});
    const Ran r = run_korvex({path, "p", "0"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(r.out.ends_with("Ready.\n\n--- Response ---\n\n--- End ---\n")) << r.out;
  }
  {  // id 42 of the prompt is outside a vocabulary of 40
    const std::string path = write_tiny_model({.vocab = 40});
    const Ran r = run_korvex({path});
    EXPECT_EQ(r.status, 101);
    EXPECT_TRUE(r.out.ends_with("Ready.\n\n--- Response ---\n")) << r.out;
    EXPECT_NE(r.err.find("token 42 out of vocab range 40"), std::string::npos) << r.err;
  }
}

std::vector<std::string> tiny_vocabulary(const std::string& last) {
  std::vector<std::string> v = {"<unk>", "<s>", "</s>", SP, "a", "b", "?", SP + "What", SP + "is"};
  v.push_back(last);
  return v;
}

// The prompt ids the program should feed, worked out in this process with the same
// tokenizer.
std::size_t prompt_id_count(const std::string& path, const std::string& prompt, bool no_system) {
  auto file = GgufFile::open(path);
  EXPECT_TRUE(file.has_value());
  const auto tokenizer = Tokenizer::from_gguf(*file);
  return tokenizer->encode_chat(chat_messages(prompt, no_system)).size();
}

TEST(ChatTurnCli, WithVocabularyThePromptLineAndTheAnswer) {
  const std::string path = write_tiny_model({.tokens = tiny_vocabulary(SP + "hi")});
  struct Case {
    std::vector<std::string> args;
    std::string prompt;
    bool no_system;
    std::string quoted;
    std::string answer;
  };
  const std::vector<Case> cases = {
      {{"What is 2+2?", "3"}, "What is 2+2?", false, "\"What is 2+2?\"", " hi hi hi"},
      {{"What is 2+2?", "2", "--nosys"}, "What is 2+2?", true, "\"What is 2+2?\"", " hi hi"},
      {{"a\nb \"q\" \xCC\x81", "1"}, "a\nb \"q\" \xCC\x81", false, "\"a\\nb \\\"q\\\" \\u{301}\"", " hi"},
      {{"", "1"}, "", false, "\"\"", " hi"},
      // "--nosys" in the prompt's place is the prompt and also drops the system message;
      // argument 3 is missing, so the limit is 200.
      {{"--nosys"}, "--nosys", true, "\"--nosys\"", [] {
         std::string s;
         for (int i = 0; i < 200; ++i) s += " hi";
         return s;
       }()},
  };
  for (const auto& c : cases) {
    std::vector<std::string> args = {path};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const Ran r = run_korvex(args);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, head_lines(path, 10) +
                         "Tokenizer    : loaded\n"
                         "Loading weights...\n"
                         "Ready.\n"
                         "Prompt       : " + c.quoted + "\n"
                         "Tokens       : " + std::to_string(prompt_id_count(path, c.prompt, c.no_system)) +
                         " ids\n"
                         "\n--- Response ---\n" +
                         c.answer + "\n--- End ---\n")
        << c.quoted;
  }
  // The system message is really part of the prompt unless left out.
  EXPECT_GT(prompt_id_count(path, "What is 2+2?", false), prompt_id_count(path, "What is 2+2?", true));
}

TEST(ChatTurnCli, WithVocabularyAStopIdAnswersNothing) {
  // The last id is "</s>", the end id: the first pick ends the answer.
  std::vector<std::string> tokens = tiny_vocabulary("x");
  tokens.back() = "</s>";
  tokens[2] = "c";
  const std::string path = write_tiny_model({.tokens = tokens});
  const Ran r = run_korvex({path, "What is 2+2?", "5"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(r.out.ends_with(" ids\n\n--- Response ---\n\n--- End ---\n")) << r.out;
}

TEST(ChatTurnCli, ListTensorsEndsBeforeTheWeights) {
  GgufBuilder b;
  b.kv("llama.embedding_length", mv_u32(8));
  b.kv("llama.attention.head_count", mv_u32(2));
  b.kv("llama.block_count", mv_u32(1));
  b.kv("llama.feed_forward_length", mv_u32(16));
  b.kv("llama.vocab_size", mv_u32(5));
  b.tensor_f32("short", {2, 3}, std::vector<float>(6));
  b.tensor_f32(std::string(70, 'n'), {1}, {0.0f});
  b.tensor_f32("\xC3\xA9" + std::string(56, 'm') + "\xC3\xA9", {}, {0.0f});
  const std::string path = b.write();
  // The listing wins over the server mode; no weight is loaded (the file has none).
  const Ran r = run_korvex({path, "--list-tensors", "--server", "9000"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "Opening " + path + "...\n"
                   "Architecture : unknown\n"
                   "embed=8 heads=2 kv_heads=2 head_dim=4 layers=1 ffn=16 vocab=5 rope_theta=10000\n"
                   "YARN         : scale=1 orig_ctx=0\n"
                   "Tokenizer    : not found\n"
                   "short" + std::string(55, ' ') + " type=0 dims=[2, 3]\n" +
                   std::string(70, 'n') + " type=0 dims=[1]\n"
                   "\xC3\xA9" + std::string(56, 'm') + "\xC3\xA9   type=0 dims=[]\n");
  EXPECT_EQ(r.err, "");
}

TEST(ChatTurnCli, ClosedStandardOutputIsAFatalWriteError) {
  const std::string path = write_tiny_model({.tokens = tiny_vocabulary(SP + "hi\n")});
  const Ran r = run_korvex({path, "What is 2+2?", "100000"}, "--- Response ---\n");
  EXPECT_EQ(r.status, 101);
  EXPECT_NE(r.err.find("failed printing to stdout: Broken pipe (os error 32)"), std::string::npos) << r.err;
}

TEST(ChatTurnCli, APromptLargerThanTheWholeCacheBudgetStopsBeforeAnyModelWork) {
  // 1 MiB of cache a position: 50,000 of them are more than any machine of ours holds.
  UniformModelShape shape;
  shape.layers = 1;
  shape.heads = shape.kv_heads = 2;
  shape.head_dim = 65536;
  shape.winner = 300;
  shape.vocabulary_from = std::string(KORVEX_SOURCE_DIR) + "/models/stories260K.gguf";
  std::string prompt;
  for (int i = 0; i < 50000; ++i) prompt += "\u00e9";
  const Ran r = run_korvex({write_uniform_model(shape), prompt, "8"});
  EXPECT_EQ(r.status, 101);
  EXPECT_NE(r.out.find("--- Response ---\n"), std::string::npos) << r.out.substr(0, 300);
  EXPECT_EQ(r.out.find("--- End ---"), std::string::npos);
  const std::regex refused(
      R"(a prompt of \d+ positions and its first 8 generated ones need [0-9.]+ MiB, more than the whole key/value cache budget of [0-9.]+ MiB\n)");
  EXPECT_TRUE(std::regex_search(r.err, refused)) << r.err;
}

TEST(ChatTurnCli, DemoModelAnswersThePromptAsTheEngineDoes) {
  const std::string path = std::string(KORVEX_SOURCE_DIR) + "/models/stories260K.gguf";
  const std::string prompt = "Once upon a time";
  const Ran r = run_korvex({path, prompt, "48"});
  ASSERT_EQ(r.status, 0) << r.err;

  // The same turn in this process: the answer is the engine's text for the encoded chat.
  auto opened = GgufFile::open(path);
  ASSERT_TRUE(opened.has_value());
  auto file = std::make_shared<const GgufFile>(std::move(*opened));
  const ModelConfig config = ModelConfig::from_gguf(*file);
  const Weights weights = Weights::load(build_tensor_index(*file), file, config);
  const auto tokenizer = Tokenizer::from_gguf(*file);
  ASSERT_TRUE(tokenizer.has_value());
  const std::vector<uint32_t> ids32 = tokenizer->encode_chat(chat_messages(prompt, false));
  const std::vector<std::size_t> ids(ids32.begin(), ids32.end());
  std::string answer;
  generate(ids, {48, 0.0f, 1, 1.0f, std::nullopt}, config, weights, &*tokenizer,
           [&](std::string_view piece) { answer += piece; });
  ASSERT_FALSE(answer.empty());

  const std::string tail = "Prompt       : \"Once upon a time\"\n"
                           "Tokens       : " + std::to_string(ids.size()) + " ids\n"
                           "\n--- Response ---\n" + answer + "\n--- End ---\n";
  EXPECT_TRUE(r.out.ends_with("Ready.\n" + tail)) << r.out;
  // Greedy: a second run prints the same.
  EXPECT_EQ(run_korvex({path, prompt, "48"}).out, r.out);
}

}  // namespace
}  // namespace korvex
