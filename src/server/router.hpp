#pragma once
// The route table: which handler a request's path and method select.
#include <string_view>

namespace korvex {

enum class Handler { Health, ListModels, ChatCompletions };

struct RouteMatch {
  enum class Kind { Found, NotFound, MethodNotAllowed } kind;
  Handler handler = Handler::Health;  // Found
  std::string_view allow;             // MethodNotAllowed: the route's methods
};

// The path of a request target: origin form up to "?"; absolute form ("http://host/p?q")
// its path, "/" when it has none; any other form (authority, "*") is taken whole, which
// no route matches.
std::string_view target_path(std::string_view target);

// Paths compare byte for byte; nothing is decoded or normalised. GET routes also take
// HEAD.
RouteMatch route_request(std::string_view method, std::string_view path);

}  // namespace korvex
