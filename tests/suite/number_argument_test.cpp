// The numeric arguments of the programs: a whole number in its range, or an
// error that names the argument.
#include "nuvdbsnap/platform/suite/admin.h"

#include <gtest/gtest.h>

#include <climits>

namespace {

TEST(NumberArgumentTest, OnlyAWholeNumberInRangeIsTaken) {
    struct Case {
        char const* text;
        int64_t low;
        int64_t high;
        bool ok;
        int64_t value;       // when ok
        char const* error;   // else: the whole error
    };
    Case const cases[] = {
        {"489", 1, INT64_MAX, true, 489, ""},
        {"010", 1, INT64_MAX, true, 10, ""},
        {"-7", -10, 10, true, -7, ""},
        {"9223372036854775807", 1, INT64_MAX, true, INT64_MAX, ""},
        {"489abc", 1, INT64_MAX, false, 0, "-j: '489abc' is no whole decimal number"},
        {"489 ", 1, INT64_MAX, false, 0, "-j: '489 ' is no whole decimal number"},
        {" 489", 1, INT64_MAX, false, 0, "-j: ' 489' is no whole decimal number"},
        {"+489", 1, INT64_MAX, false, 0, "-j: '+489' is no whole decimal number"},
        {"0x1e9", 1, INT64_MAX, false, 0, "-j: '0x1e9' is no whole decimal number"},
        {"4.5", 1, INT64_MAX, false, 0, "-j: '4.5' is no whole decimal number"},
        {"", 1, INT64_MAX, false, 0, "-j: a number is needed, not an empty value"},
        {"-1", 1, INT64_MAX, false, 0, "-j: '-1' is negative"},
        {"0", 1, INT64_MAX, false, 0, "-j: '0' is out of range (1 .. 9223372036854775807)"},
        {"65536", 1, 65535, false, 0, "-j: '65536' is out of range (1 .. 65535)"},
        {"9223372036854775808", 1, INT64_MAX, false, 0, "-j: '9223372036854775808' is out of range"},
        {"-11", -10, 10, false, 0, "-j: '-11' is out of range (-10 .. 10)"},
    };
    for (Case const& c : cases) {
        SCOPED_TRACE(std::string("'") + c.text + "'");
        int64_t value = 12345;
        std::string error;
        bool const ok = nuvsuite::ParseNumberArgument("-j", c.text, c.low, c.high, &value, &error);
        EXPECT_EQ(c.ok, ok);
        if (c.ok) {
            EXPECT_EQ(c.value, value);
        } else {
            EXPECT_EQ(c.error, error);
            EXPECT_EQ(12345, value) << "a refused text leaves the value alone";
        }
    }
}

}  // namespace
