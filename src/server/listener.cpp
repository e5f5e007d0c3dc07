// The runtime, the listening socket and the accept loop.
#include <fcntl.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <system_error>
#include <thread>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/strand.hpp>
#include <fmt/format.h>

#include "common/fatal.hpp"
#include "common/output.hpp"
#include "common/pool.hpp"
#include "server/http_connection.hpp"
#include "server/runtime.hpp"
#include "server/server.hpp"

namespace korvex {
namespace {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;
using boost::system::error_code;

constexpr int LISTEN_BACKLOG = 128;
constexpr std::chrono::seconds ACCEPT_ERROR_PAUSE{1};

std::string os_error_text(int err) { return fmt::format("{} (os error {})", std::strerror(err), err); }

void set_close_on_exec(int fd) {
  int flags = ::fcntl(fd, F_GETFD);
  if (flags >= 0) ::fcntl(fd, F_SETFD, flags | FD_CLOEXEC);
}

[[noreturn]] void panic_cannot_bind(const std::string& address, const error_code& ec) {
  fatal("cannot bind {}: {}", address, os_error_text(ec.value()));
}

tcp::acceptor bind_listener(asio::io_context& io, const tcp::endpoint& endpoint,
                            const std::string& address) {
  tcp::acceptor acceptor(io);
  error_code ec;
  acceptor.open(tcp::v4(), ec);
  if (ec) panic_cannot_bind(address, ec);
  set_close_on_exec(acceptor.native_handle());
  acceptor.set_option(tcp::acceptor::reuse_address(true), ec);
  if (!ec) acceptor.bind(endpoint, ec);
  if (!ec) acceptor.listen(LISTEN_BACKLOG, ec);
  if (ec) panic_cannot_bind(address, ec);  // the acceptor closes the socket as it goes
  return acceptor;
}

bool is_connection_error(const error_code& ec) {
  return ec == asio::error::connection_refused || ec == asio::error::connection_reset ||
         ec == asio::error::connection_aborted;
}

[[noreturn]] void accept_loop(Runtime& runtime, tcp::acceptor& acceptor,
                              std::shared_ptr<const ServeContext> context) {
  for (;;) {
    tcp::socket socket(asio::make_strand(runtime.io));
    error_code ec;
    acceptor.accept(socket, ec);
    if (ec) {
      // Too many open files and the like pass with time; a connection that failed
      // while queued concerns only itself.
      if (!is_connection_error(ec)) std::this_thread::sleep_for(ACCEPT_ERROR_PAUSE);
      continue;
    }
    set_close_on_exec(socket.native_handle());
    start_connection(std::move(socket), context);
  }
}

std::shared_ptr<const ServeContext> make_context(Runtime& runtime, std::shared_ptr<const AppState> state,
                                                 std::chrono::milliseconds keep_alive) {
  return std::make_shared<const ServeContext>(ServeContext{std::move(state), runtime.blocking, keep_alive});
}

}  // namespace

std::shared_ptr<Runtime> build_runtime(std::size_t worker_threads) {
  if (worker_threads == 0) worker_threads = available_cpus();
  if (worker_threads == 0) worker_threads = 1;
  auto runtime = std::make_shared<Runtime>(static_cast<int>(worker_threads));
  for (std::size_t i = 0; i < worker_threads; ++i) {
    try {
      std::thread([rt = runtime] {
        for (;;) {
          try {
            rt->io.run();
            return;
          } catch (...) {
            // A handler that threw ends only itself; the worker goes on.
          }
        }
      }).detach();
    } catch (const std::system_error& e) {
      fatal("called `Result::unwrap()` on an `Err` value: {}", os_error_text(e.code().value()));
    }
  }
  return runtime;
}

void run_server(Runtime& runtime, std::shared_ptr<const AppState> state, uint16_t port) {
  std::string address = fmt::format("0.0.0.0:{}", port);
  tcp::acceptor acceptor = bind_listener(runtime.io, tcp::endpoint(asio::ip::address_v4::any(), port), address);
  err_line(fmt::format("korvex server listening on http://{}", address));
  accept_loop(runtime, acceptor, make_context(runtime, std::move(state), KEEP_ALIVE_INTERVAL));
}

uint16_t serve_locally(Runtime& runtime, std::shared_ptr<const AppState> state, LocalServerOptions options) {
  std::string address = "127.0.0.1:0";
  auto acceptor = std::make_shared<tcp::acceptor>(
      bind_listener(runtime.io, tcp::endpoint(asio::ip::address_v4::loopback(), 0), address));
  uint16_t port = acceptor->local_endpoint().port();
  auto context = make_context(runtime, std::move(state), options.keep_alive_interval);
  std::thread([&runtime, acceptor, context] { accept_loop(runtime, *acceptor, context); }).detach();
  return port;
}

}  // namespace korvex
