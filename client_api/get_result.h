#pragma once

#include "client_api/result.h"

#include <functional>
#include <string>

namespace vexil {

/// Runs `query` and returns its result; a transport exception becomes its code (timed_out,
/// bad_request, bad_reply, invalid_response, any other std::exception failed) after `on_error` got
/// its text. What `on_error` throws, and exceptions not derived from std::exception, pass through.
Result get_result(const std::function<Result()>& query, const std::function<void(std::string)>& on_error);

}  // namespace vexil
