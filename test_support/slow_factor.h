#pragma once

namespace test_support {

/// How many times slower a sanitizer build runs the threaded code: time bounds are scaled by it.
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
constexpr int slow_factor = 10;
#else
constexpr int slow_factor = 1;
#endif

}  // namespace test_support
