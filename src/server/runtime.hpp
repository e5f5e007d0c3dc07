#pragma once
// Inside the server: the runtime's parts, and what every connection needs to serve.
#include <chrono>
#include <memory>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>

#include "server/app_state.hpp"
#include "server/blocking_pool.hpp"
#include "server/server.hpp"

namespace korvex {

struct Runtime {
  boost::asio::io_context io;
  boost::asio::executor_work_guard<boost::asio::io_context::executor_type> keep_running;
  BlockingPool blocking;

  explicit Runtime(int concurrency_hint)
      : io(concurrency_hint), keep_running(io.get_executor()), blocking(MAX_BLOCKING_THREADS) {}
};

struct ServeContext {
  std::shared_ptr<const AppState> state;
  BlockingPool blocking;  // a handle on the runtime's pool
  std::chrono::milliseconds keep_alive_interval = KEEP_ALIVE_INTERVAL;
};

}  // namespace korvex
