#include "main/server_start.hpp"

#include <pthread.h>

#include <cstring>
#include <utility>
#include <vector>

#include <fmt/format.h>

#include "common/fatal.hpp"
#include "common/output.hpp"
#include "gguf/warm_up.hpp"
#include "server/app_state.hpp"
#include "server/server.hpp"

namespace korvex {

std::string model_id_from_path(std::string_view model_path) {
  std::string_view last;
  bool any = false;
  std::size_t start = 0;
  while (start <= model_path.size()) {
    std::size_t end = model_path.find('/', start);
    if (end == std::string_view::npos) end = model_path.size();
    std::string_view part = model_path.substr(start, end - start);
    if (!part.empty() && part != ".") {
      last = part;
      any = true;
    }
    start = end + 1;
  }
  if (!any || last == "..") return "korvex";
  std::size_t dot = last.rfind('.');
  if (dot == std::string_view::npos || dot == 0) return std::string(last);
  return std::string(last.substr(0, dot));
}

namespace {

constexpr std::size_t WARM_UP_STACK_BYTES = 2u << 20;

void* warm_up_thread(void* arg) {
  auto* file = static_cast<std::shared_ptr<const GgufFile>*>(arg);
  warm_up_mapping(std::move(*file));  // catches its own fatal stops
  delete file;
  return nullptr;
}

}  // namespace

void spawn_warm_up(std::shared_ptr<const GgufFile> file) {
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstacksize(&attr, WARM_UP_STACK_BYTES);
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  auto* handle = new std::shared_ptr<const GgufFile>(std::move(file));
  pthread_t thread;
  int rc = pthread_create(&thread, &attr, warm_up_thread, handle);
  pthread_attr_destroy(&attr);
  if (rc != 0) {
    delete handle;
    fatal("failed to spawn thread: {} (os error {})", std::strerror(rc), rc);
  }
}

void start_server(uint16_t port, const std::string& model_path, std::shared_ptr<const GgufFile> file,
                  ModelConfig config, std::shared_ptr<const Weights> weights,
                  std::shared_ptr<const Tokenizer> tokenizer, std::shared_ptr<KvBudget> kv_budget) {
  spawn_warm_up(file);
  auto state = std::make_shared<AppState>();
  state->model_id = model_id_from_path(model_path);
  state->config = std::make_shared<const ModelConfig>(std::move(config));
  state->weights = std::move(weights);
  state->tokenizer = std::move(tokenizer);
  state->kv_budget = std::move(kv_budget);
  out_line(fmt::format("Starting server on port {}...", port));
  std::shared_ptr<Runtime> runtime = build_runtime();
  run_server(*runtime, std::move(state), port);
}

}  // namespace korvex
