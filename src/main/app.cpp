#include "main/app.hpp"

#include <exception>
#include <memory>

#include "common/fatal.hpp"
#include "common/output.hpp"
#include "engine/config.hpp"
#include "gguf/gguf.hpp"
#include "main/cli.hpp"

namespace korvex {
namespace {

// What start-up has built so far; each step below adds to it.
struct Startup {
  CliArgs args;
  std::shared_ptr<const GgufFile> file;
  ModelConfig config;
};

int run_startup(int argc, char** argv) {
  Startup s;
  s.args = parse_args(argc, argv);
  s.file = open_model(s.args.model_path);
  // Printed before the configuration is read, so a missing key leaves it as the last line.
  print_architecture(*s.file);
  s.config = ModelConfig::from_gguf(*s.file);
  print_model_summary(s.config);
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
