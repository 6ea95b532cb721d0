#include "daemon_output.h"

#include <gtest/gtest.h>

namespace vocari::app {
namespace {

using Lines = std::vector<std::string_view>;

TEST(DaemonOutputText, LinesSplitAtEveryKindOfNewlineAndEmptyOnesAreDropped) {
    EXPECT_EQ(splitLines("a\nb\r\nc\rd\ve\ff\xC2\x85g\xE2\x80\xA8h\xE2\x80\xA9i"),
              (Lines{"a", "b", "c", "d", "e", "f", "g", "h", "i"}));
    EXPECT_EQ(splitLines("\n\r\n\n x \n\r"), (Lines{" x "}));
    // The lead bytes of those newlines, cut short or followed by something else, are text.
    EXPECT_EQ(splitLines("\xC2\xA0y\xE2\x80"), (Lines{"\xC2\xA0y\xE2\x80"}));
}

TEST(DaemonOutputText, CountsReadAfterTrimmingAndAnythingElseIsZero) {
    EXPECT_EQ(readCount(" \t\xE2\x80\x83+3\xC2\xA0"), 3);  // an em space and a no-break space
    EXPECT_EQ(readCount("-2"), -2);
    for (const char* text : {"", "+", "-", "3 phones", "+-3", "0x3", "99999999999999999999"}) {
        EXPECT_EQ(readCount(text), 0) << text;
    }
    EXPECT_EQ(trimHorizontal("\xE3\x80\x80 code \t"), "code");  // an ideographic space
}

TEST(DaemonOutputText, OnlyASequenceCutAtTheEndWaitsForTheNextRead) {
    const std::string dash = "\xE2\x80\x94";
    EXPECT_EQ(completeUtf8Length("ab" + dash), 5u);
    EXPECT_EQ(completeUtf8Length("ab" + dash.substr(0, 1)), 2u);
    EXPECT_EQ(completeUtf8Length("ab" + dash.substr(0, 2)), 2u);
    EXPECT_EQ(completeUtf8Length("ab\x80\x80"), 4u);  // not a cut sequence: left to be refused
    EXPECT_TRUE(isValidUtf8("a" + dash + "\xF0\x9F\x8E\xA4"));
    for (const char* bad : {"\xFF", "\xC0\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\xE2\x80"}) {
        EXPECT_FALSE(isValidUtf8(bad)) << bad;
    }
}

}  // namespace
}  // namespace vocari::app
