#pragma once
// Server mode: the warm-up thread, the shared state, the runtime, then the service for
// the rest of the process.
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "engine/config.hpp"
#include "engine/kv_budget.hpp"
#include "gguf/gguf.hpp"
#include "tokenizer/tokenizer.hpp"

namespace korvex {

struct Weights;

// The last name of the path less its last extension: "models/q4.gguf" gives "q4", a name
// whose only "." leads ("hidden files") stays whole, and a path with no usable name
// (empty, only "/" and ".", or ending in "..") gives "korvex".
std::string model_id_from_path(std::string_view model_path);

// Starts the detached warm-up thread (2 MiB stack) over the file; returns once it exists.
// A thread that cannot be made is a fatal stop.
void spawn_warm_up(std::shared_ptr<const GgufFile> file);

// Never returns: serves until the process is killed, or stops fatally.
[[noreturn]] void start_server(uint16_t port, const std::string& model_path,
                               std::shared_ptr<const GgufFile> file, ModelConfig config,
                               std::shared_ptr<const Weights> weights,
                               std::shared_ptr<const Tokenizer> tokenizer,
                               std::shared_ptr<KvBudget> kv_budget);

}  // namespace korvex
