// A domain that is off must cost its callers no formatting and no allocation: hot paths rely on it.
#include "common/diagnostics/tracing/testability.h"
#include "common/diagnostics/tracing/trace_domain.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdlib>
#include <new>

namespace {
thread_local bool t_counting = false;
thread_local std::size_t t_allocations = 0;
}  // namespace

void* operator new(std::size_t size) {
    if (t_counting) {
        ++t_allocations;
    }
    if (void* memory = std::malloc(size ? size : 1)) {
        return memory;
    }
    throw std::bad_alloc();
}
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }

namespace hot {
struct Path {};
}  // namespace hot

namespace {

namespace tracing = common::diagnostics::tracing;
using Domain = tracing::TraceDomain<hot::Path>;

TEST(DisabledDomain, NoAllocationAndNoTextOnTheCallingThread) {
    // Everything but the high-frequency twin is on, which a prefix can never switch on.
    std::istringstream config("hot::Nothing stdout\nhot::* exclude\n* custom\n");
    tracing::testability::configure_trace_domains(config);
    ASSERT_FALSE(Domain::get_trace_context()->is_active());
    ASSERT_FALSE(Domain::get_hftrace_context()->is_active());

    std::array<char, 64> big_capture{};
    int text_calls = 0;
    t_allocations = 0;
    t_counting = true;
    for (int i = 0; i < 100; ++i) {
        auto scope = Domain::create_trace("a_function_name_longer_than_any_small_string_buffer");
        scope.message("a message text longer than any small string buffer would hold");
        scope.message([&, big_capture] {
            ++text_calls;
            return std::string(big_capture.data());
        });
        scope.timed_message(std::string());
        auto timed = Domain::create_timed_trace("another_function_name_longer_than_the_buffer");
        auto hf = Domain::create_hftrace("a_high_frequency_function_name_of_some_length");
        Domain::write_hftrace("a_high_frequency_function_name_of_some_length", [&, big_capture] {
            ++text_calls;
            return std::string(big_capture.data());
        });
    }
    t_counting = false;
    EXPECT_EQ(t_allocations, 0u);
    EXPECT_EQ(text_calls, 0);
}

}  // namespace
