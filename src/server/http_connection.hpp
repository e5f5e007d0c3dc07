#pragma once
// One accepted connection, served by one coroutine on the connection's strand.
#include <cstddef>
#include <memory>
#include <string_view>

#include <boost/asio/ip/tcp.hpp>

#include "server/runtime.hpp"

namespace korvex {

inline constexpr std::string_view HTTP2_PREFACE = "PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n";
inline constexpr std::size_t MAX_HEAD_BUFFER_BYTES = 417'792;
inline constexpr std::size_t MAX_REQUEST_TARGET_BYTES = 65'534;
inline constexpr std::size_t MAX_HEADER_LINES = 100;

// Starts the connection's task and returns at once. The socket's executor must be a
// strand: the task and the wake-ups of its event stream are serialised on it.
void start_connection(boost::asio::ip::tcp::socket socket, std::shared_ptr<const ServeContext> context);

}  // namespace korvex
