#include "foundation/CharacterSet.h"

#include <unicode/uchar.h>
#include <unicode/utf8.h>

namespace cliploop {

CharacterSet CharacterSet::whitespaces() {
    return CharacterSet([](char32_t c) {
        return c == U'\t' || u_charType(static_cast<UChar32>(c)) == U_SPACE_SEPARATOR;
    });
}

std::vector<std::string> CharacterSet::componentsSeparatedBy(const std::string& text) const {
    std::vector<std::string> pieces;
    const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
    const auto length = static_cast<int32_t>(text.size());
    int32_t pieceStart = 0;
    int32_t offset = 0;
    while (offset < length) {
        const int32_t start = offset;
        UChar32 c;
        U8_NEXT(bytes, offset, length, c);
        // A malformed sequence is no separator: its bytes stay in the piece.
        if (c >= 0 && contains(static_cast<char32_t>(c))) {
            pieces.emplace_back(text, static_cast<size_t>(pieceStart),
                                static_cast<size_t>(start - pieceStart));
            pieceStart = offset;
        }
    }
    pieces.emplace_back(text, static_cast<size_t>(pieceStart));
    return pieces;
}

}  // namespace cliploop
