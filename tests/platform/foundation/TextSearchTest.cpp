#include <gtest/gtest.h>

#include "foundation/TextSearch.h"

namespace cliploop {
namespace {

bool contains(std::string_view text, std::string_view word) {
    return localizedCaseInsensitiveContains(text, word);
}

TEST(TextSearch, AsciiIgnoresCaseAnywhereInTheText) {
    EXPECT_TRUE(contains("my_clip.mov", "CLIP"));
    EXPECT_TRUE(contains("my_clip.mov", "MOV"));
    EXPECT_TRUE(contains("my_clip.mov", ".m"));
    EXPECT_TRUE(contains("my_clip.mov", "my_clip.mov"));
    EXPECT_FALSE(contains("my_clip.mov", "clips"));
    EXPECT_FALSE(contains("mov", "movie"));
    EXPECT_FALSE(contains("", "a"));
}

TEST(TextSearch, EmptyWordOccursEverywhere) {
    EXPECT_TRUE(contains("anything", ""));
    EXPECT_TRUE(contains("", ""));
}

TEST(TextSearch, NonAsciiLettersMatchAcrossCase) {
    EXPECT_TRUE(contains("Ünïcode Loop.mov", "ünï"));
    EXPECT_TRUE(contains("ünïcode", "ÜNÏCODE"));
    EXPECT_TRUE(contains("ΣΟΦΙΑ.mp4", "σοφια"));
    EXPECT_TRUE(contains("Straße.mov", "STRASSE"));
    EXPECT_TRUE(contains("ＡＢＣ.mov", "ａｂｃ"));  // full-width letters have case too
    // A word may fold onto ASCII: the Kelvin sign is a capital K.
    EXPECT_TRUE(contains("kilo.mov", "\u212A"));
}

TEST(TextSearch, AsciiWordsFindCharactersThatFoldToAscii) {
    // Names that are not ASCII mostly take a shortcut; these must not.
    EXPECT_TRUE(contains("\uFB01lm \u00E9t\u00E9.mov", "FILM"));  // ﬁ ligature
    EXPECT_TRUE(contains("\u212Aelvin \u00FC.mov", "kelvin"));    // Kelvin sign
    EXPECT_TRUE(contains("gro\u00DFe Nacht.mov", "grosse"));
    EXPECT_TRUE(contains("why\u037E \u00FC.mov", "why;"));  // Greek question mark
    EXPECT_TRUE(contains("\u00FCber take.mov", "TAKE"));
    EXPECT_TRUE(contains("\u00FCber take\u00E9.mov", "tak"));
    EXPECT_FALSE(contains("\u00FCber take\u0301.mov", "take"));  // the e carries an accent
    EXPECT_TRUE(contains("\u00FCber take\u0301 take.mov", "take"));
    EXPECT_FALSE(contains("\u00FCber.mov", "uber"));
}

TEST(TextSearch, DiacriticsCount) {
    EXPECT_FALSE(contains("Über.mov", "uber"));
    EXPECT_FALSE(contains("uber.mov", "über"));
    // Composed é, and e followed by a combining acute: neither contains a bare e
    // as a character of its own.
    EXPECT_FALSE(contains("caf\u00E9", "cafe"));
    EXPECT_FALSE(contains("cafe\u0301", "cafe"));
    EXPECT_TRUE(contains("cafe\u0301 noir", "noir"));
}

TEST(TextSearch, ComposedAndDecomposedSpellingsAreEqual) {
    EXPECT_TRUE(contains("cafe\u0301.mov", "CAF\u00C9"));
    EXPECT_TRUE(contains("caf\u00E9.mov", "CAFE\u0301"));
}

TEST(TextSearch, JapaneseMatchesExactly) {
    EXPECT_TRUE(contains("映像クリップ.mov", "クリップ"));
    EXPECT_TRUE(contains("映像クリップ.MOV", "クリップ.mov"));
    EXPECT_FALSE(contains("映像クリップ.mov", "くりっぷ"));  // hiragana is another script
}

TEST(TextSearch, MalformedUtf8MatchesOnItsReadableParts) {
    EXPECT_TRUE(contains("\xFF\xFEgig CLIP.mov", "clip"));
    EXPECT_TRUE(contains("r\xE9sum\xE9 clip.avi", "clip.AVI"));
    EXPECT_FALSE(contains("r\xE9sum\xE9.avi", "résumé"));
}

TEST(TextSearch, LineBreakIsAnOrdinaryCharacter) {
    EXPECT_FALSE(contains("a b.mov", "a\nb"));
    EXPECT_TRUE(contains("a\nb.mov", "A\nB"));
}

}  // namespace
}  // namespace cliploop
