#include "foundation/CharacterSet.h"

#include <gtest/gtest.h>

namespace cliploop {
namespace {

TEST(CharacterSet, WhitespacesAreSpaceSeparatorsAndTabNotLineBreaksAndEachEndsOnePiece) {
    const CharacterSet set = CharacterSet::whitespaces();
    for (char32_t c : {U'\u2003', U'\u202F'})
        EXPECT_TRUE(set.contains(c)) << static_cast<uint32_t>(c);
    for (char32_t c : {U'\r', U'\v', U'\u2028', U'\u0085'})
        EXPECT_FALSE(set.contains(c)) << static_cast<uint32_t>(c);
    const std::pair<std::string, std::vector<std::string>> cases[] = {
        {"Clip  MOV", {"Clip", "", "MOV"}},
        {"", {""}},
        {" \t ", {"", "", "", ""}},
        {"a\nb c", {"a\nb", "c"}},
        {"Ünïcode\u00A0映像\u3000クリップ", {"Ünïcode", "映像", "クリップ"}},
        // 0xC2 0xA0 is a no-break space; a lone 0xC2 or 0xA0 is not.
        {"a\xC2 b\xA0\xFF", {"a\xC2", "b\xA0\xFF"}},
        {"x\xC2\xA0y", {"x", "y"}},
    };
    for (const auto& [text, pieces] : cases)
        EXPECT_EQ(set.componentsSeparatedBy(text), pieces) << text;
}

}  // namespace
}  // namespace cliploop
