#include "main/app.hpp"

#include <exception>
#include <memory>

#include "common/fatal.hpp"
#include "common/memory_limit.hpp"
#include "common/output.hpp"
#include "engine/config.hpp"
#include "engine/kv_budget.hpp"
#include "gguf/gguf.hpp"
#include "main/chat_turn.hpp"
#include "main/cli.hpp"
#include "main/server_start.hpp"
#include "main/startup.hpp"
#include "main/tensor_list.hpp"
#include "tokenizer/tokenizer.hpp"

namespace korvex {
namespace {

// What start-up has built so far; each step below adds to it.
struct Startup {
  CliArgs args;
  std::shared_ptr<const GgufFile> file;
  ModelConfig config;
  std::shared_ptr<const Tokenizer> tokenizer;  // none when the file has no token list
  std::shared_ptr<const Weights> weights;
  std::shared_ptr<KvBudget> kv_budget;
};

int run_startup(int argc, char** argv) {
  Startup s;
  s.args = parse_args(argc, argv);
  s.file = open_model(s.args.model_path);
  // Printed before the configuration is read, so a missing key leaves it as the last line.
  print_architecture(*s.file);
  s.config = ModelConfig::from_gguf(*s.file);
  print_model_summary(s.config);

  if (auto tokenizer = Tokenizer::from_gguf(*s.file)) {
    s.tokenizer = std::make_shared<const Tokenizer>(std::move(*tokenizer));
  }
  print_tokenizer_line(s.tokenizer != nullptr);
  if (s.args.list_tensors) {  // wins over every other mode; no weight is loaded
    print_tensor_list(*s.file);
    return 0;
  }
  s.weights = std::make_shared<const Weights>(load_weights_with_progress(s.file, s.config));
  print_sink_stats(*s.weights);
  // Sized once: what the process may use, less the mapped model and a margin.
  s.kv_budget = std::make_shared<KvBudget>(kv_budget_bytes(usable_memory_bytes(), s.file->mmap.size));

  if (s.args.server) {
    start_server(s.args.port, s.args.model_path, s.file, std::move(s.config), std::move(s.weights),
                 std::move(s.tokenizer), s.kv_budget);
  }

  run_chat_cli(s.args.prompt, s.args.max_new_tokens, s.args.no_system, s.config, *s.weights,
               s.tokenizer.get(), s.kv_budget.get());
  return 0;
}

}  // namespace

int run_main(int argc, char** argv) {
  init_output();
  try {
    return run_startup(argc, argv);
  } catch (const Fatal& f) {
    err_line_unchecked(f.what());
    return 101;
  }
}

}  // namespace korvex
