// The "Allowed Servers" list: which setting texts parse, which hosts each one lets through, and
// what the refusal names.
#include "net/allow_list.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct Case {
    const char* setting;
    const char* host;
    bool allowed;
};

const Case kCases[] = {
    {"", "10.1.2.3", true},  // no list: every address, as without the setting
    {"  ", "garbage", true},
    {"10.1.2.3", "10.1.2.3", true},
    {"10.1.2.3", "10.1.2.4", false},
    {"10.1.2.3, 192.168.0.0/16", "192.168.255.7", true},
    {"10.1.2.3, 192.168.0.0/16", "192.169.0.1", false},
    {" 172.16.0.0/12 ,10.0.0.1", "172.31.255.255", true},
    {" 172.16.0.0/12 ,10.0.0.1", "172.32.0.0", false},
    {"192.168.1.77/24", "192.168.1.1", true},  // host bits of a range are ignored
    {"0.0.0.0/0", "255.255.255.255", true},
    {"127.0.0.1/32", "127.0.0.1", true},
    // Hosts that are not a strict dotted quad: Windows would read some of them as other
    // addresses (octal, short forms), so a list refuses them all.
    {"10.0.0.0/8", "010.1.2.3", false},
    {"10.0.0.0/8", "10.1.2", false},
    {"10.0.0.0/8", "10.1.2.3.4", false},
    {"10.0.0.0/8", "10.1.2.256", false},
    {"10.0.0.0/8", " 10.1.2.3", false},
    {"10.0.0.0/8", "10.1.2.3 ", false},
    {"10.0.0.0/8", "10.1.2.3/8", false},
    {"10.0.0.0/8", "10..2.3", false},
    {"10.0.0.0/8", "", false},
    {"10.0.0.0/8", "10.1.2.3\x01", false},
    {"10.0.0.0/8", "10.000000000000001.2.3", false},  // over 20 bytes
};

TEST(AllowList, AllowsExactlyTheListedAddressesAndRanges) {
    for (const Case& c : kCases) {
        AllowList list;
        ASSERT_TRUE(list.Parse(c.setting)) << c.setting;
        char rule[64] = "untouched";
        EXPECT_EQ(list.Allows(c.host, rule, sizeof rule), c.allowed) << c.setting << " / " << c.host;
        if (c.allowed) {
            EXPECT_STREQ(rule, "untouched");
        }
    }
    AllowList list;
    ASSERT_TRUE(list.Parse("10.0.0.0/8"));
    EXPECT_FALSE(list.Allows(nullptr, nullptr, 0));
}

TEST(AllowList, RefusalNamesTheRuleTrimmedAndCutToTheBuffer) {
    AllowList list;
    ASSERT_TRUE(list.Parse(" 10.1.2.3 ,\t192.168.0.0/16 "));
    char rule[64] = {};
    ASSERT_FALSE(list.Allows("8.8.8.8", rule, sizeof rule));
    EXPECT_STREQ(rule, "Allowed Servers=10.1.2.3,192.168.0.0/16");
    char small[12];
    ASSERT_FALSE(list.Allows("8.8.8.8", small, sizeof small));
    EXPECT_STREQ(small, "Allowed Ser");
}

// A malformed item closes the list: nothing is allowed, and Parse names the item.
TEST(AllowList, MalformedItemAllowsNothingAndIsNamed) {
    const struct {
        const char* setting;
        const char* bad;
    } cases[] = {
        {"10.1.2.3, 10.1.2", "10.1.2"},
        {"10.1.2.3,,10.1.2.4", ""},
        {"10.1.2.3,", ""},
        {"10.1.2.0/33", "10.1.2.0/33"},
        {"10.1.2.0/", "10.1.2.0/"},
        {"10.1.2.0/08", "10.1.2.0/08"},
        {" server.example , 10.1.2.3", "server.example"},
        {"10.1.2.3 4", "10.1.2.3 4"},
        {"300.1.2.3", "300.1.2.3"},
        {"10.1.2.3-10.1.2.9", "10.1.2.3-10.1.2.9"},
    };
    for (const auto& c : cases) {
        AllowList list;
        char bad[32] = "untouched";
        EXPECT_FALSE(list.Parse(c.setting, bad, sizeof bad)) << c.setting;
        EXPECT_STREQ(bad, c.bad) << c.setting;
        char rule[64] = {};
        EXPECT_FALSE(list.Allows("10.1.2.3", rule, sizeof rule)) << c.setting;
        EXPECT_EQ(std::string(rule).rfind("Allowed Servers=", 0), 0u) << rule;
    }
    // A good text afterwards opens the list again.
    AllowList list;
    ASSERT_FALSE(list.Parse("nonsense"));
    ASSERT_TRUE(list.Parse(""));
    EXPECT_TRUE(list.Allows("10.1.2.3", nullptr, 0));
}

}  // namespace
