#pragma once

#include <string>
#include <utility>

namespace test_support {

/// The what() text of the E that `action` throws, or "<no exception>" when it throws nothing.
/// Any other exception passes through and fails the test.
template <typename E, typename F>
std::string message_of(F&& action) {
    try {
        std::forward<F>(action)();
    } catch (const E& error) {
        return error.what();
    }
    return "<no exception>";
}

}  // namespace test_support
