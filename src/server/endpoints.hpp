#pragma once
// The answers of the simple routes and of refused requests.
#include <string_view>

#include "server/app_state.hpp"
#include "server/chat_request.hpp"
#include "server/http_response.hpp"

namespace korvex {

Response health();
Response list_models(const AppState& state);
Response rejection_response(const Rejection& rejection);
// 404, 405 (with the route's methods) and the bodiless error answers.
Response empty_response(unsigned status);
Response method_not_allowed(std::string_view allow);

}  // namespace korvex
