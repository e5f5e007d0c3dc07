// The command line, and end-to-end runs of the program up to the model summary: its lines
// byte for byte, and the status and message of a refused model file or command line.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>
#include <limits>
#include <sstream>

#include "main/cli.hpp"
#include "support/gguf_writer.hpp"

namespace korvex {
namespace {

using namespace korvex::test;

TEST(ReadNumber, DigitsWithAnOptionalPlus) {
  const uint64_t u64max = std::numeric_limits<uint64_t>::max();
  struct Case {
    const char* text;
    uint64_t max;
    std::optional<uint64_t> value;
  };
  const Case cases[] = {
      {"50", u64max, 50},
      {"+7", u64max, 7},
      {"0", u64max, 0},
      {"007", u64max, 7},
      {"18446744073709551615", u64max, u64max},
      {"18446744073709551616", u64max, std::nullopt},
      {"99999999999999999999", u64max, std::nullopt},
      {"65535", 65535, 65535},
      {"65536", 65535, std::nullopt},
      {"70000", 65535, std::nullopt},
      {"", u64max, std::nullopt},
      {"+", u64max, std::nullopt},
      {"++1", u64max, std::nullopt},
      {"-5", u64max, std::nullopt},
      {"-0", u64max, std::nullopt},
      {"1e3", u64max, std::nullopt},
      {" 5", u64max, std::nullopt},
      {"5 ", u64max, std::nullopt},
      {"abc", u64max, std::nullopt},
      {"\xD9\xA3", u64max, std::nullopt},  // a non-ASCII digit
  };
  for (const auto& c : cases) EXPECT_EQ(read_number(c.text, c.max), c.value) << '"' << c.text << '"';
}

TEST(ParseArgs, PositionsCountFlagsAndDefaultsFillTheRest) {
  struct Case {
    std::vector<std::string> args;
    std::string model, prompt;
    uint64_t max_tokens;
    bool list, server, nosys;
    uint16_t port;
  };
  const std::string P = "What is 2+2?";
  const Case cases[] = {
      {{"korvex"}, "vant_model.gguf", P, 200, false, false, false, 18081},
      {{"korvex", "m.gguf"}, "m.gguf", P, 200, false, false, false, 18081},
      {{"korvex", "m.gguf", "hello"}, "m.gguf", "hello", 200, false, false, false, 18081},
      {{"korvex", "m.gguf", "hello", "50"}, "m.gguf", "hello", 50, false, false, false, 18081},
      {{"korvex", "m.gguf", "hello", "+7"}, "m.gguf", "hello", 7, false, false, false, 18081},
      {{"korvex", "m.gguf", "hello", "0"}, "m.gguf", "hello", 0, false, false, false, 18081},
      {{"korvex", "m.gguf", "hello", "1e3"}, "m.gguf", "hello", 200, false, false, false, 18081},
      {{"korvex", "m.gguf", "hello", " 50"}, "m.gguf", "hello", 200, false, false, false, 18081},
      {{"korvex", "m.gguf", "", "99999999999999999999"}, "m.gguf", "", 200, false, false, false, 18081},
      {{"korvex", "--server", "8080"}, "--server", "8080", 200, false, true, false, 8080},
      {{"korvex", "m.gguf", "--nosys"}, "m.gguf", "--nosys", 200, false, false, true, 18081},
      {{"korvex", "m.gguf", "hello", "--nosys"}, "m.gguf", "hello", 200, false, false, true, 18081},
      {{"korvex", "m.gguf", "--server"}, "m.gguf", "--server", 200, false, true, false, 18081},
      {{"korvex", "m.gguf", "--server", "9000"}, "m.gguf", "--server", 9000, false, true, false, 9000},
      {{"korvex", "m.gguf", "--server", "abc"}, "m.gguf", "--server", 200, false, true, false, 18081},
      {{"korvex", "m.gguf", "--server", "70000"}, "m.gguf", "--server", 70000, false, true, false, 18081},
      {{"korvex", "m.gguf", "--server", "-1"}, "m.gguf", "--server", 200, false, true, false, 18081},
      {{"korvex", "m.gguf", "--server", "--nosys"}, "m.gguf", "--server", 200, false, true, true, 18081},
      {{"korvex", "m.gguf", "--server", "+80"}, "m.gguf", "--server", 80, false, true, false, 80},
      {{"korvex", "m.gguf", "--server", "0"}, "m.gguf", "--server", 0, false, true, false, 0},
      {{"korvex", "m.gguf", "--server", "9000", "--server", "9001"}, "m.gguf", "--server", 9000, false, true, false, 9000},
      {{"korvex", "m.gguf", "p", "5", "--server"}, "m.gguf", "p", 5, false, true, false, 18081},
      {{"--server", "9000"}, "9000", P, 200, false, true, false, 9000},
      {{"--list-tensors"}, "vant_model.gguf", P, 200, true, false, false, 18081},
      {{"--nosys", "m"}, "m", P, 200, false, false, true, 18081},
      {{"korvex", "--help"}, "--help", P, 200, false, false, false, 18081},
      {{"korvex", "m", "p", "3", "--LIST-TENSORS", "--list-tensors=1", "-nosys"}, "m", "p", 3, false, false, false, 18081},
      {{"korvex", "m", "p", "3", "x", "--list-tensors"}, "m", "p", 3, true, false, false, 18081},
  };
  // Argument 3 is the token count even when it is also the port.
  for (const auto& c : cases) {
    CliArgs a = parse_args(c.args);
    std::string where = testing::PrintToString(c.args);
    EXPECT_EQ(a.model_path, c.model) << where;
    EXPECT_EQ(a.prompt, c.prompt) << where;
    EXPECT_EQ(a.max_new_tokens, c.max_tokens) << where;
    EXPECT_EQ(a.list_tensors, c.list) << where;
    EXPECT_EQ(a.server, c.server) << where;
    EXPECT_EQ(a.no_system, c.nosys) << where;
    EXPECT_EQ(a.port, c.port) << where;
    EXPECT_EQ(a.args, c.args) << where;
  }
}

struct Ran {
  int status = -1;
  std::string out, err;
};

std::string slurp(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

// Runs the program with exactly this argument vector (argument 0 included), its output
// going to files that are read back once it has ended.
Ran run_argv(const std::vector<std::string>& argv_in, bool close_stdout_reader = false) {
  static int run_no = 0;
  std::string base = (temp_dir() / ("run" + std::to_string(run_no++))).string();
  int out_pipe[2] = {-1, -1};
  if (close_stdout_reader) {
    if (pipe(out_pipe) != 0) throw std::runtime_error("pipe");
    // Closed before the child exists: closed after, the child could write its first line
    // into the pipe while the parent still held the reading end.
    close(out_pipe[0]);
  }
  pid_t pid = fork();
  if (pid == 0) {
    int out = close_stdout_reader ? out_pipe[1] : ::open((base + ".out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int err = ::open((base + ".err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(out, 1);
    dup2(err, 2);
    std::vector<std::string> copies = argv_in;
    std::vector<char*> argv;
    for (auto& a : copies) argv.push_back(a.data());
    argv.push_back(nullptr);
    execv(KORVEX_BINARY, argv.data());
    _exit(127);
  }
  if (close_stdout_reader) close(out_pipe[1]);
  int wstatus = 0;
  waitpid(pid, &wstatus, 0);
  Ran r;
  if (WIFEXITED(wstatus)) r.status = WEXITSTATUS(wstatus);
  if (!close_stdout_reader) r.out = slurp(base + ".out");
  r.err = slurp(base + ".err");
  return r;
}

Ran run(std::vector<std::string> args) {
  args.insert(args.begin(), "korvex");
  return run_argv(args);
}

// A file that configures but has no tensors; "--list-tensors" then ends after the
// summary with status 0.
GgufBuilder config_only() {
  GgufBuilder b;
  b.kv("general.architecture", mv_str("qwen3moe"))
      .kv("qwen3moe.embedding_length", mv_u32(2048))
      .kv("qwen3moe.attention.head_count", mv_u32(32))
      .kv("qwen3moe.attention.head_count_kv", mv_u32(4))
      .kv("qwen3moe.attention.key_length", mv_u32(128))
      .kv("qwen3moe.block_count", mv_u32(48))
      .kv("qwen3moe.expert_feed_forward_length", mv_u32(768))
      .kv("qwen3moe.feed_forward_length", mv_u32(6144))
      .kv("qwen3moe.vocab_size", mv_u32(151936))
      .kv("qwen3moe.rope.freq_base", mv_f32(1000000))
      .kv("qwen3moe.expert_count", mv_u32(128))
      .kv("qwen3moe.expert_used_count", mv_u32(8))
      .kv("qwen3moe.rope.scaling.factor", mv_f32(0.1f))
      .kv("qwen3moe.rope.scaling.original_context_length", mv_u32(32768));
  return b;
}

TEST(ProgramSummary, LinesByteForByte) {
  std::string path = config_only().write();
  Ran r = run({path, "--list-tensors"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(r.out.starts_with("Opening " + path + "...\n"
                                "Architecture : qwen3moe\n"
                                "embed=2048 heads=32 kv_heads=4 head_dim=128 layers=48 ffn=768 vocab=151936 "
                                "rope_theta=1000000\n"
                                "MoE          : 128 experts, top-8\n"
                                "YARN         : scale=0.1 orig_ctx=32768\n"))
      << r.out;
  EXPECT_EQ(r.err, "");
}

TEST(ProgramSummary, ProgramNameCountsAsAFlag) {
  std::string path = config_only().write();
  Ran r = run_argv({"--list-tensors", path});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("MoE          : 128 experts, top-8\n"), std::string::npos) << r.out;
}

TEST(ProgramErrors, RefusedFilesEndWithTheirMessageAndStatus101) {
  GgufBuilder no_layers = config_only();
  std::erase_if(no_layers.kvs, [](const auto& kv) { return kv.first == "qwen3moe.block_count"; });
  GgufBuilder zero_heads;
  zero_heads.kv("llama.embedding_length", mv_u32(64))
      .kv("llama.head_count", mv_u32(0))
      .kv("llama.block_count", mv_u32(1))
      .kv("llama.feed_forward_length", mv_u32(1))
      .kv("llama.vocab_size", mv_u32(1));
  GgufBuilder lying_count;
  lying_count.kv("tokenizer.ggml.tokens", mv_str_arr({"a"}));
  std::vector<uint8_t> lying = lying_count.bytes();
  lying[16] = 0xFF;  // kv_count's low byte: 255 entries declared, 1 present
  lying[22] = 0x7F;  // ... and far more

  std::string missing = (temp_dir() / "no such.gguf").string();
  std::string magic = write_temp_file({'G', 'G', 'M', 'L', 3, 0, 0, 0});
  std::string short_file = write_temp_file({'G', 'G', 'U'});
  std::string v4 = write_temp_file({'G', 'G', 'U', 'F', 4, 0, 0, 0});
  std::string lying_path = write_temp_file(lying);
  std::string no_layers_path = no_layers.write();
  std::string zero_heads_path = zero_heads.write();
  struct Case {
    std::vector<std::string> args;
    std::string out, err;
  };
  const std::vector<Case> cases = {
      {{}, "Opening vant_model.gguf...\n", "Cannot open \"vant_model.gguf\"\n"},
      {{missing, "hi"}, "Opening " + missing + "...\n", "Cannot open \"" + missing + "\"\n"},
      {{"--server", "8080"}, "Opening --server...\n", "Cannot open \"--server\"\n"},
      {{"--help"}, "Opening --help...\n", "Cannot open \"--help\"\n"},
      {{"tab\there\"q"}, "Opening tab\there\"q...\n", "Cannot open \"tab\\there\\\"q\"\n"},
      {{magic}, "Opening " + magic + "...\n", "Not a GGUF file (magic 0x4C4D4747)\n"},
      {{short_file}, "Opening " + short_file + "...\n", "EOF u32\n"},
      {{v4}, "Opening " + v4 + "...\n", "Unsupported GGUF version 4\n"},
      {{lying_path}, "Opening " + lying_path + "...\n", "EOF u64\n"},
      {{no_layers_path, "--list-tensors"}, "Opening " + no_layers_path + "...\nArchitecture : qwen3moe\n",
       "missing block_count\n"},
      {{zero_heads_path}, "Opening " + zero_heads_path + "...\nArchitecture : unknown\n", "invalid head_count 0\n"},
  };
  // Run where vant_model.gguf does not exist.
  std::filesystem::path cwd = std::filesystem::current_path();
  std::filesystem::current_path(temp_dir());
  for (const auto& c : cases) {
    Ran r = run(c.args);
    std::string where = testing::PrintToString(c.args);
    EXPECT_EQ(r.status, 101) << where;
    EXPECT_EQ(r.out, c.out) << where;
    EXPECT_EQ(r.err, c.err) << where;
  }
  std::filesystem::current_path(cwd);
}

TEST(ProgramErrors, ArgumentThatIsNotUtf8IsRefusedBeforeAnyOutput) {
  std::string path = config_only().write();
  Ran r = run({path, "caf\xE9", "--list-tensors"});
  EXPECT_EQ(r.status, 101);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "argument 2 is not valid UTF-8: \"caf\xEF\xBF\xBD\"\n");
}

TEST(ProgramErrors, ClosedStandardOutputStopsAtTheFirstLine) {
  Ran r = run_argv({"korvex", "whatever.gguf"}, /*close_stdout_reader=*/true);
  EXPECT_EQ(r.status, 101);
  EXPECT_EQ(r.err, "failed printing to stdout: Broken pipe (os error 32)\n");
}

}  // namespace
}  // namespace korvex
