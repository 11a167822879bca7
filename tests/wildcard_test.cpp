#include "wildcard.h"

#include <gtest/gtest.h>

namespace {

struct match_case {
    const char* pattern;
    const char* name;
    bool matches;
};

TEST(WildcardMatch, MatchesWholeNames)
{
    const match_case cases[] = {
        {"*.qvx", "a.qvx", true},
        {"*.qvx", ".qvx", true},  // "*" matches none, and a leading "." is plain
        {"*.qvx", ".hidden.qvx", true},
        {"*.qvx", "a.qvx2", false},
        {"*.qvx", "a.QVX", true},  // letters without regard to case
        {"*.QVX", "a.qvx", true},
        {"DATA*", "data01.qvx", true},
        {"data*.qvx", "data.qvx", true},
        {"data*.qvx", "mydata.qvx", false},
        {"?.qvx", "a.qvx", true},
        {"?.qvx", "ab.qvx", false},
        {"?.qvx", ".qvx", false},
        {"*", "anything at all", true},
        {"*", ".", true},
        {"", "a", false},
        {"a", "", false},
        {"", "", true},
        {"a*b*c", "aXbYc", true},
        {"a*b*c", "aXbYcZ", false},
        {"a*b*c", "abbbbc", true},
        {"*a*a*a*a*b", "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa", false},
        {"**", "", true},
        {"*?", "", false},
        {"\xC3\x89*", "\xC3\xA9t\xC3\xA9", false},  // only ASCII letters fold: not E and e with acute
        {"\xC3\xA9*", "\xC3\xA9t\xC3\xA9", true},
        {"[ab].qvx", "a.qvx", false},  // brackets are ordinary characters
        {"[ab].qvx", "[ab].qvx", true},
    };
    for (const match_case& c : cases) {
        EXPECT_EQ(wildcard_match(c.pattern, c.name), c.matches)
            << "pattern \"" << c.pattern << "\", name \"" << c.name << "\"";
    }
}

}  // namespace
