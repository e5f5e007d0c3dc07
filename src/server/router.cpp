#include "server/router.hpp"

namespace korvex {

std::string_view target_path(std::string_view target) {
  if (!target.empty() && target.front() == '/') return target.substr(0, target.find('?'));
  std::size_t scheme_end = target.find("://");
  if (scheme_end == std::string_view::npos || scheme_end == 0) return target;
  std::string_view rest = target.substr(scheme_end + 3);
  std::size_t path_start = rest.find_first_of("/?");
  if (path_start == std::string_view::npos || rest[path_start] == '?') return "/";
  rest = rest.substr(path_start);
  return rest.substr(0, rest.find('?'));
}

RouteMatch route_request(std::string_view method, std::string_view path) {
  using Kind = RouteMatch::Kind;
  if (path == "/health" || path == "/v1/models") {
    if (method == "GET" || method == "HEAD")
      return {Kind::Found, path == "/health" ? Handler::Health : Handler::ListModels, {}};
    return {Kind::MethodNotAllowed, Handler::Health, "GET,HEAD"};
  }
  if (path == "/v1/chat/completions") {
    if (method == "POST") return {Kind::Found, Handler::ChatCompletions, {}};
    return {Kind::MethodNotAllowed, Handler::ChatCompletions, "POST"};
  }
  return {Kind::NotFound, Handler::Health, {}};
}

}  // namespace korvex
