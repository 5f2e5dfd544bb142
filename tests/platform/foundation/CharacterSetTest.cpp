#include <gtest/gtest.h>

#include "foundation/CharacterSet.h"

namespace cliploop {
namespace {

using Words = std::vector<std::string>;

TEST(CharacterSet, WhitespacesAreSpaceSeparatorsAndTabNotLineBreaks) {
    const CharacterSet set = CharacterSet::whitespaces();
    for (char32_t c : {U' ', U'\t', U'\u00A0', U'\u2003', U'\u3000', U'\u202F'})
        EXPECT_TRUE(set.contains(c)) << static_cast<uint32_t>(c);
    for (char32_t c : {U'\n', U'\r', U'\v', U'\f', U'\u2028', U'\u2029', U'\u0085', U'a'})
        EXPECT_FALSE(set.contains(c)) << static_cast<uint32_t>(c);
}

TEST(CharacterSet, EachSeparatorEndsOnePieceAndEmptyPiecesStay) {
    const std::pair<std::string, Words> cases[] = {
        {"Clip  MOV", {"Clip", "", "MOV"}},
        {"", {""}},
        {" \t ", {"", "", "", ""}},
        {"a\nb c", {"a\nb", "c"}},
        {"a\r\nb", {"a\r\nb"}},
        {"Ünïcode\u00A0映像\u3000クリップ", {"Ünïcode", "映像", "クリップ"}},
        // 0xC2 0xA0 is a no-break space; a lone 0xC2 or 0xA0 is not.
        {"a\xC2 b\xA0\xFF", {"a\xC2", "b\xA0\xFF"}},
        {"x\xC2\xA0y", {"x", "y"}},
    };
    for (const auto& [text, words] : cases)
        EXPECT_EQ(CharacterSet::whitespaces().componentsSeparatedBy(text), words) << text;
}

}  // namespace
}  // namespace cliploop
