#pragma once
// The HTTP API service. This header stays free of the networking library so that the
// start-up code can include it cheaply.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "server/app_state.hpp"

namespace korvex {

inline constexpr std::chrono::milliseconds KEEP_ALIVE_INTERVAL{15000};

// The asynchronous runtime: an I/O context run by one thread per available CPU, and the
// blocking pool (at most 512 threads beyond the workers) for generations.
struct Runtime;

// Starts the worker threads; a thread that cannot be made is a fatal stop.
// worker_threads 0: one per available CPU.
std::shared_ptr<Runtime> build_runtime(std::size_t worker_threads = 0);

// Binds 0.0.0.0:{port} (fatal "cannot bind {}: {}"), writes the banner to standard error
// and runs the accept loop on the calling thread for ever.
[[noreturn]] void run_server(Runtime& runtime, std::shared_ptr<const AppState> state, uint16_t port);

// For tests: serves on 127.0.0.1 at a port of the system's choosing, which it returns; the
// accept loop runs on a thread of its own for the rest of the process. No banner.
struct LocalServerOptions {
  std::chrono::milliseconds keep_alive_interval = KEEP_ALIVE_INTERVAL;
};
uint16_t serve_locally(Runtime& runtime, std::shared_ptr<const AppState> state,
                       LocalServerOptions options = {});

}  // namespace korvex
