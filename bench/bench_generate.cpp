// End-to-end speed of one generation on a model file: the prompt's batched pass and the
// decoding steps after it, through the same generate call the program makes (greedy, no
// tokenizer, so each generated id reaches the sink as "[id]").
//
//   bench_generate MODEL.gguf [--prompt N] [--tokens N] [--threads N] [--runs R]
//                  [--simd=scalar|avx2|avx512]
//
// The sink is the clock: its first call comes right after the prompt's logits and the first
// pick, and every later piece, like the return of generate, right after one decoding step.
// The prompt is N random ids in [3, vocabulary) from a fixed seed. Each run prints its
// figures; the last line is the median of each column over the runs. "products" is the share
// of decoding time spent in the matrix-vector products; the rest is attention, norms,
// rotation, biases, activations and the pick. --simd=LEVEL lowers the instruction-set level
// before any work, so the kernels of a lower level can be measured on the same machine.
#include <fmt/format.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <fstream>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/pool.hpp"
#include "kernels/cpu_features.hpp"
#include "kernels/product_clock.hpp"
#include "engine/config.hpp"
#include "engine/generate.hpp"
#include "engine/weights.hpp"
#include "gguf/gguf.hpp"

namespace {

using namespace korvex;
using Clock = std::chrono::steady_clock;

struct Options {
  std::string model;
  std::size_t prompt = 512, tokens = 64, threads = 0, runs = 3;
  std::optional<SimdLevel> simd;  // absent: the best level this CPU has
};

struct Run {
  std::size_t prompt_ids = 0;
  double prompt_s = 0;
  std::size_t decode_tokens = 0;
  double decode_s = 0;
  double product_s = 0;  // of the decoding steps only
  std::size_t generated = 0;

  double prompt_rate() const { return prompt_s > 0 ? static_cast<double>(prompt_ids) / prompt_s : 0; }
  double decode_rate() const { return decode_s > 0 ? static_cast<double>(decode_tokens) / decode_s : 0; }
  double product_share() const { return decode_s > 0 ? product_s / decode_s : 0; }
};

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

Run run_once(std::span<const std::size_t> prompt, std::size_t tokens, const ModelConfig& config,
             const Weights& weights) {
  const GenerateParams params{tokens, 0.0f, 1, 1.0f, 0};
  Run r;
  r.prompt_ids = prompt.size();
  Clock::time_point first_piece;
  // Every piece is followed by exactly one decoding step (the last one ends as generate
  // returns), so there are as many steps from the first piece to the return as pieces.
  auto sink = [&](std::string_view) {
    if (r.decode_tokens++ == 0) {
      first_piece = Clock::now();
      reset_product_clock();
      set_product_clock(true);
    }
  };
  Clock::time_point start = Clock::now();
  r.generated = generate(prompt, params, config, weights, nullptr, sink).size();
  Clock::time_point end = Clock::now();
  set_product_clock(false);
  if (r.decode_tokens == 0) {  // the first pick stopped it, or no tokens were asked for
    r.prompt_s = seconds(end - start);
    return r;
  }
  r.prompt_s = seconds(first_piece - start);
  r.decode_s = seconds(end - first_piece);
  r.product_s = static_cast<double>(product_clock_ns()) * 1e-9;
  return r;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  std::size_t n = v.size();
  return n % 2 == 1 ? v[n / 2] : 0.5 * (v[n / 2 - 1] + v[n / 2]);
}

std::string cpu_name() {
  std::ifstream f("/proc/cpuinfo");
  for (std::string line; std::getline(f, line);)
    if (line.starts_with("model name")) return line.substr(line.find(':') + 2);
  return "unknown CPU";
}

void print_row(std::string_view label, double prompt_ids, double prompt_rate, double tokens, double decode_rate,
               double share) {
  fmt::print("{:<8}{:>8.0f}{:>12.1f}{:>8.0f}{:>12.2f}{:>10.1f}%\n", label, prompt_ids, prompt_rate, tokens,
             decode_rate, 100.0 * share);
}

bool parse(int argc, char** argv, Options& o) {
  for (int i = 1; i < argc; ++i) {
    std::string_view a = argv[i];
    if (a == "--simd=scalar" || a == "--simd=avx2" || a == "--simd=avx512") {
      o.simd = a == "--simd=scalar" ? SimdLevel::Scalar
               : a == "--simd=avx2" ? SimdLevel::Avx2
                                    : SimdLevel::Avx512;
      continue;
    }
    std::size_t* value = a == "--prompt"    ? &o.prompt
                         : a == "--tokens"  ? &o.tokens
                         : a == "--threads" ? &o.threads
                         : a == "--runs"    ? &o.runs
                                            : nullptr;
    if (value != nullptr && i + 1 < argc) {
      try {
        *value = std::stoul(argv[++i]);
      } catch (const std::exception&) {
        return false;
      }
    } else if (value == nullptr && o.model.empty() && !a.starts_with("-")) {
      o.model = a;
    } else {
      return false;
    }
  }
  return !o.model.empty() && o.prompt > 0 && o.runs > 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  if (!parse(argc, argv, o)) {
    fmt::print(stderr, "usage: bench_generate MODEL.gguf [--prompt N>0] [--tokens N] [--threads N] [--runs R>0]\n"
               "                      [--simd=scalar|avx2|avx512]\n");
    return 2;
  }
  if (o.simd) set_simd_level(*o.simd);  // before any kernel is chosen
  set_pool_threads(o.threads);  // before the pool's first use; 0: every available CPU

  auto opened = GgufFile::open(o.model);
  if (!opened) {
    fmt::print(stderr, "cannot open {}: {}\n", o.model, opened.error().message);
    return 1;
  }
  auto file = std::make_shared<const GgufFile>(std::move(*opened));
  ModelConfig config = ModelConfig::from_gguf(*file);
  Weights weights = Weights::load(build_tensor_index(*file), file, config);
  if (config.vocab <= 3) {
    fmt::print(stderr, "vocabulary of {} ids leaves no prompt ids above 2\n", config.vocab);
    return 1;
  }

  uint64_t s = 0x2545F4914F6CDD1Dull;  // xorshift64, fixed: every run and build sees the same prompt
  std::vector<std::size_t> prompt(o.prompt);
  for (auto& id : prompt) {
    s ^= s << 13;
    s ^= s >> 7;
    s ^= s << 17;
    id = 3 + s % (config.vocab - 3);
  }

  fmt::print("{}: {} layers, embedding {}, vocabulary {}\n", o.model, config.layers, config.embed, config.vocab);
  fmt::print("{}, {} threads, {} kernels\n", cpu_name(), pool_threads(), simd_level_name(active_simd_level()));

  // Touches every weight of the mapping, wakes the pool's threads and grows the allocator's
  // heap to the prompt's buffers, which would otherwise slow the first run alone.
  run_once(prompt, 2, config, weights);

  fmt::print("{:<8}{:>8}{:>12}{:>8}{:>12}{:>11}\n", "run", "prompt", "ids/s", "decode", "tokens/s", "products");
  std::vector<Run> runs;
  for (std::size_t i = 0; i < o.runs; ++i) {
    runs.push_back(run_once(prompt, o.tokens, config, weights));
    const Run& r = runs.back();
    print_row(fmt::format("{}", i + 1), static_cast<double>(r.prompt_ids), r.prompt_rate(),
              static_cast<double>(r.decode_tokens), r.decode_rate(), r.product_share());
    if (r.generated < o.tokens)
      fmt::print("        stopped by id 2 after {} of {} tokens\n", r.generated, o.tokens);
  }
  auto med = [&](auto field) {
    std::vector<double> v;
    for (const Run& r : runs) v.push_back(field(r));
    return median(std::move(v));
  };
  print_row("median", med([](const Run& r) { return static_cast<double>(r.prompt_ids); }),
            med([](const Run& r) { return r.prompt_rate(); }),
            med([](const Run& r) { return static_cast<double>(r.decode_tokens); }),
            med([](const Run& r) { return r.decode_rate(); }), med([](const Run& r) { return r.product_share(); }));
  return 0;
}
