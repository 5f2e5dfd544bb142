#include "foundation/TextSearch.h"

#include <unicode/locid.h>
#include <unicode/normalizer2.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>

#include <cstring>

namespace cliploop {

namespace {

bool turkicCaseRules() {
    static const bool turkic = [] {
        const char* language = icu::Locale::getDefault().getLanguage();
        return std::strcmp(language, "tr") == 0 || std::strcmp(language, "az") == 0;
    }();
    return turkic;
}

bool isAscii(std::string_view text) {
    for (char c : text) {
        if (static_cast<unsigned char>(c) >= 0x80) return false;
    }
    return true;
}

char asciiFold(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// For ASCII on both sides, outside the Turkic rules, full folding is exactly
// this; most file names take this way, with no allocation.
bool asciiContains(std::string_view text, std::string_view word) {
    if (word.size() > text.size()) return false;
    const char first = asciiFold(word.front());
    for (size_t at = 0; at + word.size() <= text.size(); ++at) {
        if (asciiFold(text[at]) != first) continue;
        size_t i = 1;
        while (i < word.size() && asciiFold(text[at + i]) == asciiFold(word[i])) ++i;
        if (i == word.size()) return true;
    }
    return false;
}

// Composed, case-folded form: equivalent spellings and cases become equal.
icu::UnicodeString folded(std::string_view text, bool turkic) {
    // Malformed UTF-8 becomes U+FFFD.
    icu::UnicodeString s = icu::UnicodeString::fromUTF8(
        icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
    UErrorCode status = U_ZERO_ERROR;
    const icu::Normalizer2* nfd = icu::Normalizer2::getNFDInstance(status);
    const icu::Normalizer2* nfc = icu::Normalizer2::getNFCInstance(status);
    if (U_FAILURE(status))
        return s.foldCase(turkic ? U_FOLD_CASE_EXCLUDE_SPECIAL_I : U_FOLD_CASE_DEFAULT);
    icu::UnicodeString decomposed = nfd->normalize(s, status);
    decomposed.foldCase(turkic ? U_FOLD_CASE_EXCLUDE_SPECIAL_I : U_FOLD_CASE_DEFAULT);
    icu::UnicodeString composed = nfc->normalize(decomposed, status);
    return U_SUCCESS(status) ? composed : decomposed;
}

// A mark continues the character before it.
bool continuesCharacter(UChar32 c) {
    if (u_hasBinaryProperty(c, UCHAR_GRAPHEME_EXTEND)) return true;
    const int8_t type = u_charType(c);
    return type == U_NON_SPACING_MARK || type == U_COMBINING_SPACING_MARK ||
           type == U_ENCLOSING_MARK;
}

}  // namespace

bool localizedCaseInsensitiveContains(std::string_view text, std::string_view word) {
    if (word.empty()) return true;
    const bool turkic = turkicCaseRules();
    if (!turkic && isAscii(text) && isAscii(word)) return asciiContains(text, word);

    const icu::UnicodeString haystack = folded(text, turkic);
    const icu::UnicodeString needle = folded(word, turkic);
    if (needle.isEmpty()) return true;
    for (int32_t at = haystack.indexOf(needle); at >= 0; at = haystack.indexOf(needle, at + 1)) {
        const int32_t end = at + needle.length();
        if (end >= haystack.length() || !continuesCharacter(haystack.char32At(end))) return true;
    }
    return false;
}

}  // namespace cliploop
