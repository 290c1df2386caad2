#include <gtest/gtest.h>
#include <sys/stat.h>

#include "TestSupport.h"
#include "data/KeyValueLine.h"
#include "data/Text.h"

using namespace Data;

namespace {

KeyValue Settings(std::string_view piece) {
    auto kv = ReadKeyValueLine(piece, LineForm::Settings);
    EXPECT_TRUE(kv.has_value()) << piece;
    return kv.value_or(KeyValue{"<none>", "<none>"});
}

KeyValue Manifest(std::string_view piece) {
    auto kv = ReadKeyValueLine(piece, LineForm::Manifest);
    EXPECT_TRUE(kv.has_value()) << piece;
    return kv.value_or(KeyValue{"<none>", "<none>"});
}

}  // namespace

TEST(KeyValueLine, CommentOnlyWhenHashIsTheVeryFirstCharacter) {
    EXPECT_FALSE(ReadKeyValueLine("#output=x\n", LineForm::Settings));
    EXPECT_FALSE(ReadKeyValueLine("#VERSION=99\n", LineForm::Manifest));

    KeyValue indented = Settings(" #output=x\n");
    EXPECT_EQ(indented.key, "#output");
    EXPECT_EQ(indented.value, "x");

    KeyValue inside = Settings("camp=12#34\n");
    EXPECT_EQ(inside.value, "12#34");

    // The manifest trims the piece after the comment check, so the key keeps its "#".
    EXPECT_EQ(Manifest(" #version=1\n").key, "#VERSION");
}

TEST(KeyValueLine, LinesWithoutEqualsSignYieldNothing) {
    for (LineForm form : {LineForm::Settings, LineForm::Manifest}) {
        EXPECT_FALSE(ReadKeyValueLine("", form));
        EXPECT_FALSE(ReadKeyValueLine("\n", form));
        EXPECT_FALSE(ReadKeyValueLine("   \n", form));
        EXPECT_FALSE(ReadKeyValueLine("product us\n", form));
    }
}

TEST(KeyValueLine, OnlyTheFirstEqualsSignSplits) {
    KeyValue kv = Settings("output=C=D==E\n");
    EXPECT_EQ(kv.key, "output");
    EXPECT_EQ(kv.value, "C=D==E");
    EXPECT_EQ(Manifest("MESSAGE=a = b\r\n").value, "a = b");
}

TEST(KeyValueLine, TrimsBlanksAndLineEndsButNotTabs) {
    KeyValue kv = Settings("  prom  =  ALRT  \n");
    EXPECT_EQ(kv.key, "prom");
    EXPECT_EQ(kv.value, "ALRT");

    KeyValue tab = Settings("prom=\tALRT \n");
    EXPECT_EQ(tab.value, "\tALRT");
    KeyValue tabKey = Settings("\tprom=x\n");
    EXPECT_EQ(tabKey.key, "\tprom");
}

TEST(KeyValueLine, ValueOfOnlyLineEndsStaysInSettingsButNotInManifests) {
    // Text made only of trim characters is left as it is.
    EXPECT_EQ(Settings("camp=\n").value, "\n");
    EXPECT_EQ(Settings("camp=\r\n").value, "\r\n");
    EXPECT_EQ(Settings("camp= \n").value, " \n");
    // At the end of a file without a line end the value is empty.
    EXPECT_EQ(Settings("camp=").value, "");
    // A manifest trims the whole piece first.
    EXPECT_EQ(Manifest("MESSAGE=\r\n").value, "");
    EXPECT_EQ(Manifest("MESSAGE=  \n").value, "");
    // A key of blanks only is kept too.
    EXPECT_EQ(Settings("  =x\n").key, "  ");
}

TEST(KeyValueLine, ManifestUpperCasesTheKeyOnly) {
    KeyValue kv = Manifest("  Product = ny \r\n");
    EXPECT_EQ(kv.key, "PRODUCT");
    EXPECT_EQ(kv.value, "ny");
    // The settings form keeps the key as written.
    EXPECT_EQ(Settings("Output=x\n").key, "Output");
}

TEST(LinePieces, LongLineIsCutIntoPiecesOfTheLimit) {
    std::string line(300, 'a');
    auto pieces = SplitLinePieces(line + "\n" + "next\n", kSettingsPieceChars);
    ASSERT_EQ(pieces.size(), 3u);
    EXPECT_EQ(pieces[0], std::string(254, 'a'));
    EXPECT_EQ(pieces[1], std::string(46, 'a') + "\n");
    EXPECT_EQ(pieces[2], "next\n");

    auto manifest = SplitLinePieces(std::string(2100, 'm'), kManifestPieceChars);
    ASSERT_EQ(manifest.size(), 3u);
    EXPECT_EQ(manifest[0].size(), 1022u);
    EXPECT_EQ(manifest[1].size(), 1022u);
    EXPECT_EQ(manifest[2].size(), 56u);
}

TEST(LinePieces, CrLfReadsAsOneLineFeedAndBareCrStays) {
    auto pieces = SplitLinePieces("a=1\r\nb=2\rc\n\r\nlast", 254);
    ASSERT_EQ(pieces.size(), 4u);
    EXPECT_EQ(pieces[0], "a=1\n");
    EXPECT_EQ(pieces[1], "b=2\rc\n");
    EXPECT_EQ(pieces[2], "\n");
    EXPECT_EQ(pieces[3], "last");

    // CR CR LF (a settings file written in text mode) keeps one CR.
    EXPECT_EQ(SplitLinePieces("k=v\r\r\n", 254).at(0), "k=v\r\n");

    // CR LF counts as one character against the limit.
    auto exact = SplitLinePieces("abc\r\nd", 4);
    ASSERT_EQ(exact.size(), 2u);
    EXPECT_EQ(exact[0], "abc\n");
    auto split = SplitLinePieces("abcd\r\n", 4);
    ASSERT_EQ(split.size(), 2u);
    EXPECT_EQ(split[0], "abcd");
    EXPECT_EQ(split[1], "\n");
}

TEST(LinePieces, RawPiecesKeepTheStoredBytes) {
    auto raw = SplitRawLinePieces("a\r\nb\nc", 510);
    ASSERT_EQ(raw.size(), 3u);
    EXPECT_EQ(raw[0], "a\r\n");
    EXPECT_EQ(raw[1], "b\n");
    EXPECT_EQ(raw[2], "c");
}

TEST(LinePieces, FileThatCannotBeReadGivesNothing) {
    DataTest::TempDir dir;
    EXPECT_FALSE(ReadLinePieces(dir / "missing.cfg", 254));
    EXPECT_FALSE(ReadLinePieces(dir.Path(), 254));  // a folder
    DataTest::WriteFile(dir / "empty.cfg", "");
    auto empty = ReadLinePieces(dir / "empty.cfg", 254);
    ASSERT_TRUE(empty);
    EXPECT_TRUE(empty->empty());
}

TEST(TypedLine, ReadsNameAndValueLikeTheScanPattern) {
    auto mark = ParseTypedLine("bool:ui_prop_tessra_updated=false\r\n", "bool");
    ASSERT_TRUE(mark);
    EXPECT_EQ(mark->name, "ui_prop_tessra_updated");
    EXPECT_EQ(mark->value, "false");

    // The value stops at ":" or "=".
    auto host = ParseTypedLine("string:ui_prop_proxy_http_server=proxy:8080\n", "string");
    ASSERT_TRUE(host);
    EXPECT_EQ(host->value, "proxy");

    // Name without value: the name still counts, the value is empty.
    auto bare = ParseTypedLine("string:ui_prop_proxy_http_port=\n", "string");
    ASSERT_TRUE(bare);
    EXPECT_EQ(bare->name, "ui_prop_proxy_http_port");
    EXPECT_EQ(bare->value, "");

    EXPECT_FALSE(ParseTypedLine(" bool:ui_prop_tessra_updated=true", "bool"));
    EXPECT_FALSE(ParseTypedLine("string:ui_prop_tessra_updated=true", "bool"));
    EXPECT_FALSE(ParseTypedLine("bool:=true", "bool"));
    EXPECT_FALSE(ParseTypedLine("boolean:x=true", "bool"));
}

TEST(Text, NumbersFollowAtoiWithoutOverflow) {
    EXPECT_EQ(Atoi32("0100"), 100);
    EXPECT_EQ(Atoi32("  +42abc"), 42);
    EXPECT_EQ(Atoi32("-17"), -17);
    EXPECT_EQ(Atoi32("abc"), 0);
    EXPECT_EQ(Atoi32("\n"), 0);
    EXPECT_EQ(Atoi32("2147483647"), 2147483647);
    EXPECT_EQ(Atoi32("-2147483648"), INT32_MIN);
    EXPECT_EQ(Atoi32("99999999999999999999999"), INT32_MAX);
    EXPECT_EQ(Atoi32("-99999999999999999999999"), INT32_MIN);
}

TEST(LinePieces, FileIsReadInBlocksButCutLikeItsText) {
    DataTest::TempDir dir;
    // CR LF and long lines astride the reader's 64 KiB blocks.
    for (size_t lead : {65535u, 65534u, 65536u - 300u}) {
        std::string text = std::string(lead, '\n') + "k=v\r\n" + std::string(700, 'x') + "\r\nend";
        DataTest::WriteFile(dir / "big.cfg", text);
        auto pieces = LinePieces::Open(dir / "big.cfg", kSettingsPieceChars);
        ASSERT_TRUE(pieces);
        std::vector<std::string> read;
        for (const std::string& piece : *pieces) read.push_back(piece);
        EXPECT_EQ(read, SplitLinePieces(text, kSettingsPieceChars)) << lead;
    }
    // Only regular files are read: a device or a pipe in place of a settings file gives nothing.
    EXPECT_FALSE(LinePieces::Open("/dev/zero", kSettingsPieceChars));
    ASSERT_EQ(mkfifo((dir / "pipe").c_str(), 0600), 0);
    EXPECT_FALSE(LinePieces::Open(dir / "pipe", kSettingsPieceChars));
    EXPECT_FALSE(ReadWholeFile(dir / "pipe"));
}
