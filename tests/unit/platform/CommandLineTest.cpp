#include <gtest/gtest.h>

#include "platform/CommandLine.h"

using Sys::FindLastWord;
using Sys::FindWord;
using Sys::HasWord;

namespace {
constexpr size_t npos = std::string_view::npos;
}

TEST(CommandLine, SlashSwitchCountsOnlyWhereItBeginsAWord) {
    EXPECT_EQ(FindWord("/N host", "/N "), 0u);
    EXPECT_EQ(FindWord("prog req.cfg /N host", "/N "), 13u);
    EXPECT_EQ(FindWord("prog req.cfg\t/N host", "/N "), 13u);
    EXPECT_EQ(FindWord("prog \"/alert\"", "/alert"), 6u);

    // Paths are full of "/": none of these is a switch.
    EXPECT_FALSE(HasWord("/opt/install/bin/tessra-swm /home/u/req.cfg", "/install"));
    EXPECT_FALSE(HasWord("/home/Nina/N host/req.cfg", "/N "));
    EXPECT_FALSE(HasWord("/srv/alert/tessra-swm", "/alert"));
    EXPECT_FALSE(HasWord("prog http://h/a/purchase/x.exe", "/purchase"));

    // The first one that begins a word.
    EXPECT_EQ(FindWord("/opt/install/x /install", "/install"), 15u);
    EXPECT_EQ(FindWord("a /N b /N c", "/N ", 3), 7u);
}

TEST(CommandLine, PlainWordsAreFoundAnywhere) {
    EXPECT_EQ(FindWord("/home/u/alerts/req.cfg", "alert"), 8u);
    EXPECT_EQ(FindWord("/srv/httpd/req.cfg", "http"), 5u);
    EXPECT_TRUE(HasWord("x-reinstall", "-reinstall"));
    EXPECT_FALSE(HasWord("/home/u/hidden", "hide"));
    EXPECT_TRUE(HasWord("/home/u/hide", "hide"));
    EXPECT_FALSE(HasWord("anything", ""));
}

TEST(CommandLine, LastWordObeysTheSameRule) {
    EXPECT_EQ(FindLastWord("/alert /hide /home/u/req.cfg /N host", "/"), 29u);
    EXPECT_EQ(FindLastWord("/a/b/c", "/"), 0u);
    EXPECT_EQ(FindLastWord("x/b/c", "/"), npos);
    EXPECT_EQ(FindLastWord("a http b http", "http"), 9u);
}

TEST(CommandLine, JoinQuotesArgumentsWithBlanks) {
    const char* argv[] = {
        "/opt/tessra/tessra-swm", "/home/u/My Files/req.cfg", "/N", "host", "tab\there", ""};
    EXPECT_EQ(Sys::JoinCommandLine(6, argv),
              "/opt/tessra/tessra-swm \"/home/u/My Files/req.cfg\" /N host \"tab\there\" ");
    EXPECT_EQ(Sys::JoinCommandLine(0, argv), "");
}
