#include <gtest/gtest.h>

#include "foundation/CharacterSet.h"

namespace cliploop {
namespace {

using Words = std::vector<std::string>;

Words split(const std::string& text) {
    return CharacterSet::whitespaces().componentsSeparatedBy(text);
}

TEST(CharacterSetWhitespaces, HoldsSpaceSeparatorsAndTabButNoLineBreaks) {
    const CharacterSet set = CharacterSet::whitespaces();
    for (char32_t c : {U' ', U'\t', U'\u00A0', U'\u2003', U'\u3000', U'\u202F'}) {
        EXPECT_TRUE(set.contains(c)) << static_cast<uint32_t>(c);
    }
    for (char32_t c : {U'\n', U'\r', U'\v', U'\f', U'\u2028', U'\u2029', U'\u0085', U'a', U'_'}) {
        EXPECT_FALSE(set.contains(c)) << static_cast<uint32_t>(c);
    }
}

TEST(CharacterSetSplit, EachSeparatorEndsOnePiece) {
    EXPECT_EQ(split("Clip  MOV"), (Words{"Clip", "", "MOV"}));
    EXPECT_EQ(split(""), (Words{""}));
    EXPECT_EQ(split(" \t "), (Words{"", "", "", ""}));
    EXPECT_EQ(split(" live"), (Words{"", "live"}));
    EXPECT_EQ(split("live\t"), (Words{"live", ""}));
}

TEST(CharacterSetSplit, LineBreaksStayInsideTheirWord) {
    EXPECT_EQ(split("a\nb c"), (Words{"a\nb", "c"}));
    EXPECT_EQ(split("a\r\nb"), (Words{"a\r\nb"}));
}

TEST(CharacterSetSplit, NonAsciiSeparatorsAndWordsSurviveIntact) {
    // No-break space and the ideographic space separate; the words' bytes
    // are kept as they are.
    EXPECT_EQ(split("Ünïcode\u00A0映像\u3000クリップ"), (Words{"Ünïcode", "映像", "クリップ"}));
}

TEST(CharacterSetSplit, MalformedBytesAreKeptAndNeverSeparate) {
    // 0xC2 0xA0 is a no-break space; a lone 0xC2 or 0xA0 is not.
    EXPECT_EQ(split("a\xC2 b\xA0\xFF"), (Words{"a\xC2", "b\xA0\xFF"}));
    EXPECT_EQ(split("x\xC2\xA0y"), (Words{"x", "y"}));
}

}  // namespace
}  // namespace cliploop
