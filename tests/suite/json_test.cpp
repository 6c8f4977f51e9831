// JSON quoting and string arrays.
#define BOOST_BIND_GLOBAL_PLACEHOLDERS  // quiet the old placeholders note of property_tree
#include "nuvdbsnap/platform/suite/json.h"

#include <gtest/gtest.h>

#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>
#include <sstream>

namespace {

TEST(JsonTest, QuotedTextParsesBackToTheSameBytes) {
    struct Case {
        char const* name;
        std::string text;
        std::string quoted;
    };
    Case const cases[] = {
        {"plain", "abc", "\"abc\""},
        {"quote and backslash", "a\"b\\c", "\"a\\\"b\\\\c\""},
        {"controls", "l1\nl2\tx\x01", "\"l1\\nl2\\tx\\u0001\""},
        {"utf-8 kept", "Gr\xC3\xBC\xC3\x9F" "e", "\"Gr\xC3\xBC\xC3\x9F" "e\""},
        {"stray byte escaped", "a\xFFz", "\"a\\u00ffz\""},
        {"nul", std::string("a\0b", 3), "\"a\\u0000b\""},
        {"injection text", "'); DROP TABLE x; --", "\"'); DROP TABLE x; --\""},
    };
    std::vector<std::string> all;
    for (Case const& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(nuvsuite::JsonQuote(c.text), c.quoted);
        all.push_back(c.text);
    }
    std::string const array = nuvsuite::JsonStringArray(all);
    std::vector<std::string> back;
    ASSERT_TRUE(nuvsuite::ParseJsonStringArray(array, &back));
    EXPECT_EQ(back, all);

    // A standard reader accepts it as well.
    boost::property_tree::ptree tree;
    std::istringstream in("{\"a\":" + array + "}");
    EXPECT_NO_THROW(boost::property_tree::read_json(in, tree));
    EXPECT_EQ(tree.get_child("a").size(), all.size());
}

TEST(JsonTest, OnlyStringArraysAreRead) {
    for (char const* text : {"", "[", "[\"a\"", "[\"a\",]", "[1]", "{\"a\":1}", "[\"a\"] x", "[\"\\q\"]"}) {
        SCOPED_TRACE(text);
        std::vector<std::string> items{"stale"};
        EXPECT_FALSE(nuvsuite::ParseJsonStringArray(text, &items));
        EXPECT_TRUE(items.empty());
    }
    std::vector<std::string> items;
    EXPECT_TRUE(nuvsuite::ParseJsonStringArray(" [ ] ", &items));
    EXPECT_TRUE(items.empty());
    EXPECT_TRUE(nuvsuite::ParseJsonStringArray("[\"\\u00e9\\ud83d\\ude00\"]", &items));
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(items[0], "\xE9\xF0\x9F\x98\x80");  // \u00XX is a byte; pairs become UTF-8
}

}  // namespace
