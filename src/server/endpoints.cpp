#include "server/endpoints.hpp"

#include <string>

#include "server/json_write.hpp"

namespace korvex {

Response health() {
  return Response{200, {{"content-type", "text/plain; charset=utf-8"}}, std::nullopt, "ok"};
}

Response list_models(const AppState& state) {
  return Response{200, {{"content-type", "application/json"}}, std::nullopt,
                  build_model_list(state.model_id)};
}

Response rejection_response(const Rejection& rejection) {
  return Response{rejection.status, {{"content-type", std::string(REJECTION_CONTENT_TYPE)}},
                  std::nullopt, rejection.body};
}

Response empty_response(unsigned status) { return Response{status, {}, std::nullopt, {}}; }

Response method_not_allowed(std::string_view allow) {
  return Response{405, {}, std::string(allow), {}};
}

}  // namespace korvex
