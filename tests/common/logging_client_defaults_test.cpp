// Client defaults applied first: the library default must then leave them alone.
// Its own executable: it changes the process-wide logging core.
#include "common/logger.h"

#include <gtest/gtest.h>

#include <sstream>

namespace client_defaults_test {
void warn(const std::string& text) { ZEV_LOG(common::logging::warning) << text; }
}  // namespace client_defaults_test

TEST(LoggingClientDefaults, library_default_after_client_defaults_does_nothing) {
    std::ostringstream err;
    std::ostringstream out;
    auto& group = common::Singleton<common::logging::LoggerGroup>::instance();
    group.SetStreams(&err, &out);

    // No files: only the stream sinks of the client defaults.
    auto options = common::logging::LoggerOptionsUtils::GetDefaultVexilLogOptions(false, false, "");
    common::logging::LoggerOptionsUtils::SetDefaultVexilLogOptions("", "", "", false, false, "");
    group.RemoveSinks();
    options.sink(common::logging::Loggers::main_log).enabled = false;
    options.sink(common::logging::Loggers::std_err).formatter.function = false;
    group.SetLoggerOptions(std::move(options));

    common::logging::LoggerOptionsUtils::SetDefaultLogOptions();
    client_defaults_test::warn("kept layout");
    EXPECT_EQ(err.str(), "[zev/warning] kept layout\n");
    group.RemoveSinks();
}
