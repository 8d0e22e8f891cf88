#include "common/contract.h"
#include "common/logger.h"
#include "common/utils.h"

#include <boost/filesystem.hpp>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>
#include <cctype>
#include <sstream>
#include <thread>

namespace fs = boost::filesystem;
using ::testing::HasSubstr;
using ::testing::StartsWith;

TEST(MakeCanonicalPath, empty_and_absolute_paths_come_back_unchanged) {
    EXPECT_EQ(common::make_canonical_path(""), "");
    EXPECT_EQ(common::make_canonical_path("/tmp/../tmp/x"), "/tmp/../tmp/x");
    EXPECT_EQ(common::make_canonical_path("/does/not/exist"), "/does/not/exist");
}

TEST(MakeCanonicalPath, relative_paths_resolve_against_the_working_directory) {
    const auto previous = fs::current_path();
    const auto folder = fs::temp_directory_path() / fs::unique_path("canonical-%%%%-%%%%");
    fs::create_directories(folder / "sub");
    std::ofstream((folder / "x").string()) << "data";
    fs::current_path(folder / "sub");

    EXPECT_EQ(common::make_canonical_path("../x"), fs::canonical(folder / "x").string());
    fs::current_path(folder);
    EXPECT_EQ(common::make_canonical_path("./x"), fs::canonical(folder / "x").string());
    try {
        common::make_canonical_path("missing.bed");
        ADD_FAILURE() << "a missing file must not resolve";
    } catch (const std::runtime_error& e) {
        EXPECT_THAT(e.what(), StartsWith("Error while converting relative path missing.bed to file: "));
        EXPECT_GT(std::string(e.what()).size(),
                  std::string("Error while converting relative path missing.bed to file: ").size());
    }
    fs::current_path(previous);
    fs::remove_all(folder);
}

TEST(RelativePath, counts_up_from_the_base_and_down_to_the_path) {
    EXPECT_EQ(common::relativePath("/a/x/f", "/a/b/c/"), "../../x/f");
    EXPECT_EQ(common::relativePath("/a/b/c/d.txt", "/a/b"), "c/d.txt");
    EXPECT_EQ(common::relativePath("/a/b/c/d.txt", "/a/b//"), "c/d.txt");
    EXPECT_EQ(common::relativePath("/a/b", "/a/b"), "");
}

TEST(ExecutablePath, is_the_canonical_path_of_this_test) {
    const auto path = common::executable_path();
    EXPECT_TRUE(path.is_absolute());
    EXPECT_EQ(path.filename().string(), "common_process_utils_test");
    EXPECT_EQ(path, fs::canonical("/proc/self/exe"));
}

TEST(ExecutablePath, reports_a_query_that_fails) {
    auto no_length = [](char*, unsigned int* size) {
        *size = 0;
        return -1;
    };
    auto no_text = [](char* buffer, unsigned int* size) {
        if (buffer == nullptr) {
            *size = 8;
        }
        return -1;
    };
    try {
        common::detail::executable_path(no_length);
        ADD_FAILURE();
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Could not determine the length of the process name");
    }
    try {
        common::detail::executable_path(no_text);
        ADD_FAILURE();
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Could not determine the process name");
    }
    unsigned int size = 0;
    EXPECT_NE(common::detail::query_executable_path(nullptr, &size), 0);
    std::vector<char> small(2);
    unsigned int small_size = 2;
    EXPECT_NE(common::detail::query_executable_path(small.data(), &small_size), 0);
    EXPECT_EQ(small_size, size);
}

TEST(AppName, is_fixed_by_the_first_call) {
    std::ostringstream err;
    std::ostringstream out;
    auto& group = common::Singleton<common::logging::LoggerGroup>::instance();
    group.SetStreams(&err, &out);
    group.SetLoggerOptions(common::logging::LoggerOptionsUtils::GetLibraryDefaultOptions());
    const auto previous =
            common::contract::set_contract_violation_policy(common::contract::ContractViolationPolicy::throw_exception);

    EXPECT_EQ(common::app_name("x"), "x");
    EXPECT_EQ(common::app_name(nullptr), "x");
    EXPECT_EQ(common::app_name("x"), "x");
    bool violated = false;
    try {
        common::app_name("y");
    } catch (...) {
        violated = true;
    }
    EXPECT_TRUE(violated);
    EXPECT_EQ(common::app_name(nullptr), "x");
    EXPECT_THAT(err.str(), HasSubstr("Contract violation. \ncommon/utils:276 \"!name || process_name == name\"\n"));

    common::contract::set_contract_violation_policy(previous);
    group.RemoveSinks();
}

TEST(TimeTexts, current_date_time_layout) {
    const auto text = common::currentDateTime();
    EXPECT_EQ(text.size(), 23u);
    const std::string shape = "9999-99-99 99:99:99.999";
    ASSERT_EQ(text.size(), shape.size());
    for (std::size_t i = 0; i < shape.size(); ++i) {
        if (shape[i] == '9') {
            EXPECT_TRUE(std::isdigit(static_cast<unsigned char>(text[i]))) << text;
        } else {
            EXPECT_EQ(text[i], shape[i]) << text;
        }
    }
}

TEST(TimeTexts, conversions_copy_the_broken_down_time) {
    const std::time_t epoch = 0;
    const std::tm utc = common::gmtimeThreadsafe(&epoch);
    EXPECT_EQ(utc.tm_year, 70);
    EXPECT_EQ(utc.tm_mon, 0);
    EXPECT_EQ(utc.tm_mday, 1);
    EXPECT_EQ(utc.tm_hour, 0);

    const std::time_t later = 86400 * 365;
    std::tm expected{};
    localtime_r(&later, &expected);
    const std::tm local = common::localtimeThreadsafe(&later);
    EXPECT_EQ(local.tm_year, expected.tm_year);
    EXPECT_EQ(local.tm_yday, expected.tm_yday);
    EXPECT_EQ(local.tm_hour, expected.tm_hour);
    // The earlier copy is not overwritten by the later conversion.
    EXPECT_EQ(utc.tm_year, 70);
}

TEST(TimeTexts, conversions_from_many_threads_agree) {
    std::vector<std::thread> threads;
    std::atomic<int> mismatches{0};
    for (int i = 0; i < 8; ++i) {
        threads.emplace_back([i, &mismatches] {
            const std::time_t t = 86400 * i;
            for (int j = 0; j < 2000; ++j) {
                if (common::gmtimeThreadsafe(&t).tm_yday != i) {
                    ++mismatches;
                }
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(mismatches.load(), 0);
}

TEST(ThreadName, is_cut_to_fifteen_characters) {
    std::string long_name;
    std::string empty_name = "unchanged";
    std::thread([&] {
        bass::util::set_thread_name("twenty_characters_xx");
        long_name = bass::util::get_thread_name();
        bass::util::set_thread_name("");
        empty_name = bass::util::get_thread_name();
    }).join();
    EXPECT_EQ(long_name, "twenty_characte");
    EXPECT_EQ(empty_name, "");

    std::string null_name = "unchanged";
    std::thread([&] {
        bass::util::set_thread_name("named");
        bass::util::set_thread_name(nullptr);
        null_name = bass::util::get_thread_name();
    }).join();
    EXPECT_EQ(null_name, "");

    std::string fits;
    std::thread([&] {
        bass::util::set_thread_name("conn_state_ntfy");
        fits = bass::util::get_thread_name();
    }).join();
    EXPECT_EQ(fits, "conn_state_ntfy");
}
