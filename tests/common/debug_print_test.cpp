#include "common/debug_print.h"

#include "common/text_utils.h"

#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>
#include <string>
#include <vector>

using bass::data_wrappers::BandMatView;
using bass::data_wrappers::MatView;
using bass::data_wrappers::VecView;

TEST(DebugPrint, Vector) {
    const std::vector<std::string> letters{"a", "b", "c", "d", "e"};
    const auto view = VecView<std::string>::view(letters.data(), letters.size(), 1);
    EXPECT_EQ(common::debugPrintVector(view, false, 2, 8), "[size 5, capacity 8] {a; b; ...; e}");
    EXPECT_EQ(common::debugPrintVector(view, false, 4, 8), "[size 5, capacity 8] {a; b; c; d; e}");
    EXPECT_EQ(common::debugPrintVector(view, false, -1, 8), "[size 5, capacity 8] {a; b; c; d; e}");
    EXPECT_EQ(common::debugPrintVector(view, true, 0, 8), "[size 5, capacity 8] {a; b; c; d; e}");
    EXPECT_EQ(common::debugPrintVector(view, false, 0, 8), "[size 5, capacity 8] {...; e}");
    const auto odd = VecView<std::string>::view(letters.data(), 3, 2);
    const std::string type = common::demangle(typeid(std::string).name());
    EXPECT_EQ(common::debugPrintVector(odd, true, 0, 0), "[type  " + type + ", size 3, stride 2] {a; c; e}");
}

TEST(DebugPrint, States) {
    EXPECT_EQ(common::debugPrintStates(std::vector<int>{0, 5}, 2, true, 0), "[size 2, capacity 2] {AA; CC}");
    EXPECT_EQ(common::debugPrintStates(std::vector<int>{3, 4}, 1, true, 0), "[size 2, capacity 2] {T; []}");
    const std::vector<int> stored{1, 99, 2, 99};
    const auto strided = VecView<int>::view(stored.data(), 2, 2);
    EXPECT_EQ(common::debugPrintStates(strided, 1, true, 0), "[size 2, capacity 2] {C; G}");
    const std::string type = common::demangle(typeid(std::string).name());
    EXPECT_EQ(common::debugPrintStates(std::vector<int>{}, 2, true, 0), "[type  " + type + ", size 0, stride 1] {}");
    EXPECT_THROW(common::debugPrintStates(std::vector<int>{17}, 2, true, 0), std::out_of_range);
    EXPECT_THROW(common::debugPrintStates(std::vector<int>{-1}, 2, true, 0), std::out_of_range);
}

TEST(DebugPrint, PathAsSequence) {
    EXPECT_EQ(common::debugPrintPathAsSequence(std::vector<int>{1, 1, 1, 6}, 3), "AC");
    EXPECT_EQ(common::debugPrintPathAsSequence(std::vector<int>{}, 3), "");
    std::vector<int> path;
    for (int i = 0; i < 150; ++i) {
        path.push_back(i % 2 == 0 ? 0 : 63);  // AAA, TTT alternating
    }
    std::string expected;
    for (int i = 0; i < 100; ++i) {
        expected += i % 2 == 0 ? 'A' : 'T';
    }
    EXPECT_EQ(common::debugPrintPathAsSequence(path, 3), expected + "...");
    path.resize(100);
    EXPECT_EQ(common::debugPrintPathAsSequence(path, 3), expected + "...");
    // The blank state has no middle base for k = 4 and adds nothing.
    EXPECT_EQ(common::debugPrintPathAsSequence(std::vector<int>{0, 256, 0}, 4), "AA");
    EXPECT_THROW(common::debugPrintPathAsSequence(std::vector<int>{257}, 4), std::out_of_range);
}

TEST(DebugPrint, DensePosteriors) {
    const std::vector<float> probs{0.05f, 0.5f, 0.2f, 0.25f};
    EXPECT_EQ(common::debugPrintPosteriors(MatView<float>::view(probs.data(), 1, 4, 4, 1), 1),
              "1 events, 4 states\n\n>>> Event 0<<<\nstate 1 (C): 0.5\nstate 2 (G): 0.2\nstate 3 (T): 0.25");
    const std::vector<double> logs{-3.0, -0.5, -2.0, -9.0, -0.1};
    // One state more than labels: the blank "[]" and then an unlabelled state.
    EXPECT_EQ(common::debugPrintPosteriors(MatView<double>::view(logs.data(), 1, 5, 5, 1), 1),
              "1 events, 5 states\n\n>>> Event 0<<<\nstate 1 (C): -0.5\nstate 2 (G): -2\nstate 4 ([]): -0.1");
    const std::vector<double> wide{-3.0, -0.5, -2.0, -9.0, -0.1, -0.2};
    EXPECT_EQ(common::debugPrintPosteriors(MatView<double>::view(wide.data(), 1, 6, 6, 1), 1),
              "1 events, 6 states\n\n>>> Event 0<<<\nstate 1 (C): -0.5\nstate 2 (G): -2\nstate 4 ([]): -0.1"
              "\nstate 5: -0.2");
    EXPECT_EQ(common::debugPrintPosteriors(MatView<float>(), 1), "0 events, 0 states\n");

    const std::vector<float> many(300 * 2, 0.0f);
    const std::string text = common::debugPrintPosteriors(MatView<float>::view(many.data(), 300, 2, 2, 1), 1);
    EXPECT_EQ(text.rfind("\n>>> Event 199<<<"), text.size() - std::string("\n>>> Event 199<<<").size());
    EXPECT_EQ(text.find(">>> Event 200"), std::string::npos);
    EXPECT_EQ(text.find("\nstate "), std::string::npos);
}

TEST(DebugPrint, BandedPosteriors) {
    // Two events of band width 2; row 1 starts at state 3.
    const std::vector<float> band{0.6f, 0.05f, 0.3f, 0.9f};
    const auto view = BandMatView<float>::view(band.data(), 2, 2, 2, 1, {1, 3}, 5);
    EXPECT_EQ(common::debugPrintPosteriors(view, 1),
              "2 events, 5 states\n\n>>> Event 0<<<\nstate 1 (C): 0.6\n>>> Event 1<<<\nstate 3 (T): 0.3"
              "\nstate 4 ([]): 0.9");
    const std::vector<double> logs{-1.0, -5.0};
    const auto log_view = BandMatView<double>::view(logs.data(), 1, 2, 2, 1, {0}, 4);
    EXPECT_EQ(common::debugPrintPosteriors(log_view, 1), "1 events, 4 states\n\n>>> Event 0<<<\nstate 0 (A): -1");
    EXPECT_THROW(view.row(2), std::out_of_range);
    EXPECT_THROW(BandMatView<float>::view(band.data(), 2, 2, 2, 1, {1}, 5), std::runtime_error);
}
