// Names and words: searching, splitting, and file URLs.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <tuple>

#include "foundation/CharacterSet.h"
#include "foundation/FileUrl.h"
#include "foundation/TextSearch.h"

namespace cliploop {
namespace {

// The Turkic rules follow the first locale seen: a child forked before any other search.
TEST(TextSearch, UnderATurkishLocaleDottedAndDotlessIFoldApart) {
    EXPECT_EXIT(setenv("LC_ALL", "tr_TR.UTF-8", 1);
                _exit(localizedCaseInsensitiveContains("KIRMIZI.mov", "k\u0131rm\u0131z\u0131") &&
                      !localizedCaseInsensitiveContains("KIRMIZI.mov", "kirmizi") &&
                      localizedCaseInsensitiveContains("D\u0130YARBAKIR.mov", "diyarbak\u0131r")),
                ::testing::ExitedWithCode(1), "");
}

TEST(TextSearch, CaseInsensitiveContainmentOnAnyName) {
    const std::tuple<const char*, const char*, bool> cases[] = {
        {"my_clip.mov", "clips", false},
        {"anything", "", true},
        {"ΣΟΦΙΑ.mp4", "σοφια", true},
        {"Straße.mov", "STRASSE", true},
        // Names that are not ASCII mostly take a shortcut; these must not.
        {"\uFB01lm \u00E9t\u00E9.mov", "FILM", true},
        {"\u212Aelvin \u00FC.mov", "kelvin", true},   // the Kelvin sign is a capital K
        {"\u00FCber take\u0301.mov", "take", false},  // the e carries an accent
        {"\u00FCber take\u0301 take.mov", "take", true},
        // Diacritics count; composed and decomposed spellings are equal.
        {"Über.mov", "uber", false},
        {"cafe\u0301.mov", "CAF\u00C9", true},
        {"映像クリップ.MOV", "クリップ.mov", true},
        {"映像クリップ.mov", "くりっぷ", false},  // hiragana is another script
        // Malformed UTF-8 matches on its readable parts.
        {"\xFF\xFEgig CLIP.mov", "clip", true},
    };
    for (const auto& [text, word, found] : cases)
        EXPECT_EQ(localizedCaseInsensitiveContains(text, word), found) << text << " / " << word;
}

TEST(CharacterSet, WhitespacesAreSpaceSeparatorsAndTabNotLineBreaksAndEachEndsOnePiece) {
    const std::pair<std::string, std::vector<std::string>> cases[] = {
        {"Clip  MOV", {"Clip", "", "MOV"}},
        {" \t ", {"", "", "", ""}},
        {"a\nb c", {"a\nb", "c"}},
        {"a\u2003b\u202Fc\r\v\u2028\u0085d", {"a", "b", "c\r\v\u2028\u0085d"}},
        {"Ünïcode\u00A0映像\u3000クリップ", {"Ünïcode", "映像", "クリップ"}},
        // 0xC2 0xA0 is a no-break space; a lone 0xC2 or 0xA0 is not.
        {"a\xC2 b\xA0\xFF", {"a\xC2", "b\xA0\xFF"}},
        {"x\xC2\xA0y", {"x", "y"}},
    };
    for (const auto& [text, pieces] : cases)
        EXPECT_EQ(CharacterSet::whitespaces().componentsSeparatedBy(text), pieces) << text;
}

TEST(FileUrl, EncodesAllButUnreservedAndSlashEveryByteRoundTripsAndOnlyLocalFileUrlsAreTaken) {
    EXPECT_EQ(FileUrl::fromPath("/clips/My Loop #2?%/a-b_c.d~e+f;g\xC3\xA9\xFF").absoluteString(),
              "file:///clips/My%20Loop%20%232%3F%25/a-b_c.d~e%2Bf%3Bg%C3%A9%FF");
    std::string everyByte = "/";
    for (int byte = 1; byte < 256; ++byte) everyByte += char(byte == '/' ? 'a' : byte);
    for (const std::string& path : {everyByte, std::string("/a b/%41%/#frag?query"),
                                    std::string("/\x80\xFE/not utf-8\xC3"), std::string("/t/")})
        EXPECT_EQ(FileUrl::fromString(FileUrl::fromPath(path).absoluteString()).path(), path);
    EXPECT_EQ(FileUrl::fromString("file:///a%2fb%C3%a9").path(), "/a/b\xC3\xA9");
    EXPECT_EQ(FileUrl::fromString("FILE://localhost/x%20y").path(), "/x y");
    EXPECT_EQ(FileUrl::fromString("file:///a%3Fb?c=d#e").path(), "/a?b");  // no query, fragment
    for (const char* bad : {"", "/plain/path", "http:///x", "file:/x", "file:x", "file://",
                            "file://server/x", "file://localhost", "file:///bad%", "file:///bad%4",
                            "file:///bad%G1", "file:///nul%00byte"})
        EXPECT_TRUE(FileUrl::fromString(bad).isEmpty()) << bad;
}

}  // namespace
}  // namespace cliploop
