#pragma once
// The command line and the first start-up steps: opening the model and its summary.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/config.hpp"
#include "gguf/gguf.hpp"

namespace korvex {

inline constexpr const char* DEFAULT_MODEL_PATH = "vant_model.gguf";
inline constexpr const char* DEFAULT_PROMPT = "What is 2+2?";
inline constexpr uint64_t DEFAULT_MAX_NEW_TOKENS = 200;
inline constexpr uint16_t DEFAULT_PORT = 18081;

// The settings the command line gives. Positions count every argument, flags included,
// and flags count wherever they stand, the program name included; nothing is rejected.
struct CliArgs {
  std::vector<std::string> args;  // argument 0 is the program name
  std::string model_path = DEFAULT_MODEL_PATH;           // argument 1
  std::string prompt = DEFAULT_PROMPT;                   // argument 2
  uint64_t max_new_tokens = DEFAULT_MAX_NEW_TOKENS;      // argument 3, when it reads
  bool list_tensors = false;                             // "--list-tensors"
  bool server = false;                                   // "--server"
  uint16_t port = DEFAULT_PORT;                          // after the first "--server", when it reads
  bool no_system = false;                                // "--nosys"
};

// An optional '+' and one or more ASCII digits, at most `max`; nothing otherwise.
std::optional<uint64_t> read_number(std::string_view text, uint64_t max);

CliArgs parse_args(std::vector<std::string> args);
// Refuses the whole command line, with a fatal stop naming the argument, when any
// argument is not valid UTF-8.
CliArgs parse_args(int argc, char** argv);

// Prints "Opening {}..." and opens the file; an error stops with its message alone.
std::shared_ptr<const GgufFile> open_model(const std::string& path);
[[noreturn]] void fail_model_open(const GgufError& error);

// "Architecture : {}", "unknown" without a string general.architecture.
void print_architecture(const GgufFile& file);
// The "embed=..." line, the "MoE" line when the model has experts, the "YARN" line.
void print_model_summary(const ModelConfig& config);

}  // namespace korvex
