#pragma once
// The server's shared state: built once at start-up, read-only afterwards, shared between
// requests and generations through reference-counted handles.
#include <functional>
#include <memory>
#include <string>

#include "engine/config.hpp"
#include "engine/generate.hpp"
#include "tokenizer/tokenizer.hpp"

namespace korvex {

struct Weights;
struct KvBudget;
struct GenerationJob;

// Runs one job's generation, handing each text piece to the sink on the calling thread.
// The server's is engine_generation; tests give scripted ones.
using GenerationRunner =
    std::function<void(const GenerationJob& job, const GenerateParams& params, const TokenSink& sink)>;

// generate() over the job's prompt and model handles.
void engine_generation(const GenerationJob& job, const GenerateParams& params, const TokenSink& sink);

struct AppState {
  std::string model_id;
  std::shared_ptr<const ModelConfig> config;
  std::shared_ptr<const Weights> weights;
  std::shared_ptr<const Tokenizer> tokenizer;  // null when the model has no vocabulary
  std::shared_ptr<KvBudget> kv_budget;         // shared by every generation; null: unbounded
  GenerationRunner run_generation = engine_generation;
};

}  // namespace korvex
