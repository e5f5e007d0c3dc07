#include "main/cli.hpp"

#include <fmt/format.h>

#include <limits>

#include "common/fatal.hpp"
#include "common/float_format.hpp"
#include "common/output.hpp"
#include "common/quote.hpp"
#include "common/utf8.hpp"

namespace korvex {

std::optional<uint64_t> read_number(std::string_view text, uint64_t max) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    uint64_t digit = static_cast<uint64_t>(c - '0');
    if (value > (max - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

CliArgs parse_args(std::vector<std::string> args) {
  CliArgs a;
  if (args.size() > 1) a.model_path = args[1];
  if (args.size() > 2) a.prompt = args[2];
  if (args.size() > 3) a.max_new_tokens = read_number(args[3], std::numeric_limits<uint64_t>::max()).value_or(DEFAULT_MAX_NEW_TOKENS);
  bool port_seen = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--list-tensors") a.list_tensors = true;
    if (arg == "--nosys") a.no_system = true;
    if (arg == "--server") {
      a.server = true;
      if (!port_seen && i + 1 < args.size())
        a.port = static_cast<uint16_t>(read_number(args[i + 1], 65535).value_or(DEFAULT_PORT));
      port_seen = true;  // the first "--server" alone decides the port
    }
  }
  a.args = std::move(args);
  return a;
}

CliArgs parse_args(int argc, char** argv) {
  std::vector<std::string> args;
  for (int i = 0; i < argc; ++i) {
    std::string_view arg(argv[i]);
    if (!utf8_valid(arg)) fatal("argument {} is not valid UTF-8: {}", i, quote_debug(utf8_lossy(arg)));
    args.emplace_back(arg);
  }
  return parse_args(std::move(args));
}

void fail_model_open(const GgufError& error) { fatal(error.message); }

// GCC 12 misreads the destruction of the expected's error string as freeing a stack object.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wfree-nonheap-object"
std::shared_ptr<const GgufFile> open_model(const std::string& path) {
  out_line(fmt::format("Opening {}...", path));
  auto file = GgufFile::open(path);
  if (!file) fail_model_open(file.error());
  return std::make_shared<const GgufFile>(std::move(*file));
}
#pragma GCC diagnostic pop

void print_architecture(const GgufFile& file) {
  out_line(fmt::format("Architecture : {}", file.architecture().value_or("unknown")));
}

void print_model_summary(const ModelConfig& c) {
  out_line(fmt::format("embed={} heads={} kv_heads={} head_dim={} layers={} ffn={} vocab={} rope_theta={}", c.embed,
                       c.heads, c.kv_heads, c.head_dim, c.layers, c.ffn, c.vocab, f32_display(c.rope_freq_base)));
  if (c.n_experts != 0) out_line(fmt::format("MoE          : {} experts, top-{}", c.n_experts, c.n_experts_used));
  out_line(fmt::format("YARN         : scale={} orig_ctx={}", f32_display(c.rope_scale), c.orig_ctx));
}

}  // namespace korvex
