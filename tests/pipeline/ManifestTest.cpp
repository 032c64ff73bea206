#include "pipeline/Manifest.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

TEST(JsonExtractString, FindsValuesWhateverTheSpacing) {
    EXPECT_EQ(JsonExtractString("{\"version\":\"1.2.3\"}", "version"), "1.2.3");
    EXPECT_EQ(JsonExtractString("{\r\n  \"version\"  \r\n :\t\r\n  \"1.2.3\" \n}", "version"),
              "1.2.3");
    EXPECT_EQ(JsonExtractString("{\"a\": 1, \"exe\": \"Vorn.exe\"}", "exe"), "Vorn.exe");
}

TEST(JsonExtractString, NonStringOrMissingValuesAreEmpty) {
    EXPECT_EQ(JsonExtractString("{\"version\": 12}", "version"), "");
    EXPECT_EQ(JsonExtractString("{\"version\": null}", "version"), "");
    EXPECT_EQ(JsonExtractString("{\"version\": [\"1\"]}", "version"), "");
    EXPECT_EQ(JsonExtractString("{\"other\": \"1\"}", "version"), "");
    EXPECT_EQ(JsonExtractString("{\"version\"", "version"), "");
    EXPECT_EQ(JsonExtractString("{\"version\":", "version"), "");
    EXPECT_EQ(JsonExtractString("{\"version\":   ", "version"), "");
    // A vertical tab or form feed is not skipped as white space.
    EXPECT_EQ(JsonExtractString("{\"version\":\v\"1\"}", "version"), "");
    EXPECT_EQ(JsonExtractString("{\"version\":\f\"1\"}", "version"), "");
    EXPECT_EQ(JsonExtractString("<html><body>404 Not Found</body></html>", "version"), "");
    EXPECT_EQ(JsonExtractString("", "version"), "");
}

TEST(JsonExtractString, DecodesSimpleEscapesAndLeavesUnicodeEscapes) {
    EXPECT_EQ(JsonExtractString(R"({"exe": "a\"b"})", "exe"), "a\"b");
    EXPECT_EQ(JsonExtractString(R"({"exe": "C:\\Games\\x"})", "exe"), "C:\\Games\\x");
    EXPECT_EQ(JsonExtractString(R"({"u": "http:\/\/h\/a"})", "u"), "http://h/a");
    EXPECT_EQ(JsonExtractString(R"({"t": "\b\f\n\r\t"})", "t"), "\b\f\n\r\t");
    EXPECT_EQ(JsonExtractString(R"({"t": "\u0416\q"})", "t"), "u0416q");
    // Raw control bytes and UTF-8 pass unchanged.
    EXPECT_EQ(JsonExtractString("{\"t\": \"\x01\xd0\x96\"}", "t"), "\x01\xd0\x96");
}

TEST(JsonExtractString, PartialValuesAreEmpty) {
    EXPECT_EQ(JsonExtractString("{\"version\": \"1.2", "version"), "");
    EXPECT_EQ(JsonExtractString("{\"version\": \"1.2\\", "version"), "");
    EXPECT_EQ(JsonExtractString("{\"version\": \"1.2\\\"", "version"), "");
}

TEST(JsonExtractString, FirstTextualOccurrenceWins) {
    // The quoted key first stands as another member's value: the string after
    // the next colon is taken.
    EXPECT_EQ(JsonExtractString(
                  R"({"title": "version", "download_url": "https://h/a.zip", "version": "2.0"})",
                  "version"),
              "https://h/a.zip");
    // An escaped quote is not the quote of the key.
    EXPECT_EQ(JsonExtractString(R"({"note": "\"version\" below", "version": "2.0"})", "version"),
              "2.0");
    EXPECT_EQ(JsonExtractString(R"({"old": {"version": "1.0"}, "version": "2.0"})", "version"),
              "1.0");
    // A longer key that ends with the key is not a match.
    EXPECT_EQ(JsonExtractString(R"({"game_version": "9", "version": "2.0"})", "version"), "2.0");
    // A key without a colon borrows the next member's colon.
    EXPECT_EQ(JsonExtractString(R"({"version" "x", "exe": "Game.exe"})", "version"), "Game.exe");
}

TEST(ParseVersion, EveryNonDigitSeparates) {
    EXPECT_EQ(ParseVersion("1.2.3"), (std::vector<int>{1, 2, 3}));
    EXPECT_EQ(ParseVersion("1.2-rc3"), (std::vector<int>{1, 2, 3}));
    EXPECT_EQ(ParseVersion("1..2"), (std::vector<int>{1, 2}));
    EXPECT_EQ(ParseVersion("007"), (std::vector<int>{7}));
    EXPECT_EQ(ParseVersion("v10.0\r\n"), (std::vector<int>{10, 0}));
    EXPECT_EQ(ParseVersion("1.2.3\r\n"), ParseVersion("1.2.3"));
}

TEST(ParseVersion, NoDigitsIsZero) {
    EXPECT_EQ(ParseVersion(""), (std::vector<int>{0}));
    EXPECT_EQ(ParseVersion("abc"), (std::vector<int>{0}));
    EXPECT_EQ(ParseVersion("."), (std::vector<int>{0}));
}

TEST(ParseVersion, AGroupTooLargeNeverWrapsAndIsRefused) {
    EXPECT_EQ(ParseVersion("2147483647"), (std::vector<int>{2147483647}));
    EXPECT_TRUE(VersionFits("2147483647.0"));
    EXPECT_EQ(ParseVersion("4294967296.3.0.0"), (std::vector<int>{2147483647, 3, 0, 0}));
    for (const char* version : {"2147483648", "4294967296.3.0.0", "1.99999999999999999999"})
        EXPECT_FALSE(VersionFits(version)) << version;
    EXPECT_EQ(
        RaisedText([] { ReadManifest(R"({"version": "4294967296.3.0.0", "download_url": "u"})"); }),
        L"Недопустимая версия в manifest: '4294967296.3.0.0': число в ней больше "
        L"2147483647.");
}

TEST(CompareVersions, GroupByGroupWithZeroPadding) {
    EXPECT_EQ(CompareVersions("1.2", "1.2.0"), 0);
    EXPECT_LT(CompareVersions("1.9", "1.10"), 0);
    EXPECT_GT(CompareVersions("2", "1.99.99"), 0);
    EXPECT_LT(CompareVersions("0.0.0", "0.0.1"), 0);
    EXPECT_EQ(CompareVersions("0.0.0", "0"), 0);
    EXPECT_LT(CompareVersions("1.2", "1.2.1"), 0);
}

TEST(ReadManifest, TakesTheFourKeysAndDefaultsTheExecutable) {
    const Manifest full = ReadManifest(
        R"({"version": "1.4.0", "download_url": "https://h/b.zip", "exe": "Vorn.exe", "sha256": "AB"})");
    EXPECT_EQ(full.version, "1.4.0");
    EXPECT_EQ(full.download_url, "https://h/b.zip");
    EXPECT_EQ(full.exe, "Vorn.exe");
    EXPECT_EQ(full.sha256, "AB");

    const Manifest minimal = ReadManifest(R"({"download_url": "u", "version": "2"})");
    EXPECT_EQ(minimal.exe, "Game.exe");
    EXPECT_EQ(minimal.sha256, "");
    EXPECT_EQ(minimal.delta_index, "");

    // The index's two keys, even written first, are not taken for the others.
    const Manifest indexed =
        ReadManifest(R"({"delta_index_sha256": "CD", "delta_index": "https://h/b.zip.files",)"
                     R"( "version": "1", "download_url": "https://h/b.zip", "sha256": "AB"})");
    EXPECT_EQ(indexed.sha256, "AB");
    EXPECT_EQ(indexed.delta_index, "https://h/b.zip.files");
    EXPECT_EQ(indexed.delta_index_sha256, "CD");
}

TEST(ReadManifest, RejectsAManifestWithoutVersionOrUrl) {
    const std::wstring expected = L"В manifest должны быть поля: version и download_url";
    EXPECT_EQ(RaisedText([] { ReadManifest(R"({"download_url": "u"})"); }), expected);
    EXPECT_EQ(RaisedText([] { ReadManifest(R"({"version": "1"})"); }), expected);
    EXPECT_EQ(RaisedText([] { ReadManifest(R"({"version": 1, "download_url": "u"})"); }), expected);
    EXPECT_EQ(RaisedText([] { ReadManifest(R"({"version": "1", "download_url": ""})"); }),
              expected);
    EXPECT_EQ(RaisedText([] { ReadManifest("<html>404</html>"); }), expected);
    EXPECT_EQ(RaisedText([] { ReadManifest(""); }), expected);
}
