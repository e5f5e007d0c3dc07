#include "server/http_response.hpp"

#include <fmt/format.h>

namespace korvex {

std::string_view reason_phrase(unsigned status) {
  switch (status) {
    case 100: return "Continue";
    case 200: return "OK";
    case 400: return "Bad Request";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 413: return "Payload Too Large";
    case 414: return "URI Too Long";
    case 415: return "Unsupported Media Type";
    case 422: return "Unprocessable Entity";
    case 431: return "Request Header Fields Too Large";
    case 500: return "Internal Server Error";
    default: return "";
  }
}

std::string http_date(std::time_t when) {
  static constexpr std::string_view days[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static constexpr std::string_view months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  std::tm t{};
  gmtime_r(&when, &t);
  return fmt::format("{}, {:02} {} {:04} {:02}:{:02}:{:02} GMT", days[t.tm_wday], t.tm_mday,
                     months[t.tm_mon], t.tm_year + 1900, t.tm_hour, t.tm_min, t.tm_sec);
}

std::string response_head(const Response& response, bool http10, BodyFraming framing,
                          std::size_t content_length, std::string_view date) {
  std::string head = fmt::format("{} {} {}\r\n", http10 ? "HTTP/1.0" : "HTTP/1.1", response.status,
                                 reason_phrase(response.status));
  for (const auto& [name, value] : response.headers) head += fmt::format("{}: {}\r\n", name, value);
  if (response.allow) head += fmt::format("allow: {}\r\n", *response.allow);
  switch (framing) {
    case BodyFraming::Length: head += fmt::format("content-length: {}\r\n", content_length); break;
    case BodyFraming::Chunked: head += "transfer-encoding: chunked\r\n"; break;
    case BodyFraming::UntilClose: break;
  }
  head += fmt::format("date: {}\r\n\r\n", date);
  return head;
}

std::string response_bytes(const Response& response, bool http10, bool head_only,
                           std::string_view date) {
  std::string bytes =
      response_head(response, http10, BodyFraming::Length, response.body.size(), date);
  if (!head_only) bytes += response.body;
  return bytes;
}

std::string chunk_bytes(std::string_view data) {
  return fmt::format("{:x}\r\n{}\r\n", data.size(), data);
}

}  // namespace korvex
