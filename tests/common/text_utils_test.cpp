#include "common/text_utils.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <typeinfo>
#include <vector>

TEST(TextUtils, TrimRemovesAllWhiteSpace) {
    EXPECT_EQ(common::trim("a b\tc "), "abc");
    EXPECT_EQ(common::trim(" \t\r\n\v\f"), "");
    EXPECT_EQ(common::trim("read id"), "readid");
}

TEST(TextUtils, TruncLongStr) {
    const std::string ten = "0123456789";
    EXPECT_EQ(common::trunc_long_str(ten, 10), ten);
    EXPECT_EQ(common::trunc_long_str(ten, 8), "01234...");
    EXPECT_EQ(common::trunc_long_str(ten, 8).size(), 8u);
    EXPECT_EQ(common::trunc_long_str(ten, 2), ten + "...");
}

TEST(TextUtils, CleanString) {
    EXPECT_EQ(common::clean_string("line\r\r"), "line\r");
    EXPECT_EQ(common::clean_string("\xEF\xBB\xBF\r"), "");
    EXPECT_EQ(common::clean_string("\xEF\xBB\xBFtext"), "text");
    EXPECT_EQ(common::clean_string("a\xEF\xBB\xBF"), "a\xEF\xBB\xBF");
    EXPECT_EQ(common::clean_string(""), "");
}

TEST(TextUtils, ShortenClassname) {
    EXPECT_EQ(common::shortenClassname("std::vector<std::basic_string<char, std::char_traits<char>, "
                                       "std::allocator<char> >, std::allocator<std::basic_string<char, "
                                       "std::char_traits<char>, std::allocator<char> > > >"),
              "vector<string>");
    EXPECT_EQ(common::shortenClassname("unsigned int"), "unsigned int");
    EXPECT_EQ(common::shortenClassname("class foo::Bar"), "foo::Bar");
    EXPECT_EQ(common::shortenClassname("signed char"), "signed char");
    EXPECT_EQ(common::demangle(typeid(unsigned int).name()), "unsigned int");
    EXPECT_EQ(common::demangle("not-a-mangled-name"), "not-a-mangled-name");
}

TEST(TextUtils, EncodeFloat) {
    EXPECT_EQ(common::encode_float(1.5f, 3), "1.5");
    EXPECT_EQ(common::encode_float(2.0f, 3), "2.0");
    EXPECT_EQ(common::encode_float(-0.0001f, 2), "0.0");
    EXPECT_EQ(common::encode_float(3.0f, 0), "3.");
    EXPECT_EQ(common::encode_float(10.0f, 1), "10.0");
}

TEST(TextUtils, SprintfShortAndLong) {
    EXPECT_EQ(common::Sprintf("%d-%s", 5, "x"), "5-x");
    const std::string a1023(1023, 'a');
    EXPECT_EQ(common::Sprintf("%s", a1023.c_str()), a1023);
    const std::string a1024(1024, 'b');
    EXPECT_EQ(common::Sprintf("%s", a1024.c_str()), a1024);
    const std::string big(5000, 'c');
    EXPECT_EQ(common::Sprintf("<%s>", big.c_str()), "<" + big + ">");
}

TEST(TextUtils, SprintfReportsFormattingFailure) {
    // A wide character that the C locale cannot encode makes vsnprintf fail.
    const wchar_t unencodable[] = {0x100, 0};
    try {
        (void)common::Sprintf("%ls", unencodable);
        FAIL() << "expected std::runtime_error";
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), "Error in printf for fmt: '%ls'");
    }
}
