#include "foundation/TextSearch.h"

#include <unicode/locid.h>
#include <unicode/normalizer2.h>
#include <unicode/uchar.h>
#include <unicode/uniset.h>
#include <unicode/unistr.h>
#include <unicode/utf8.h>

#include <cstring>
#include <optional>

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
icu::UnicodeString folded(const icu::UnicodeString& s, bool turkic) {
    const uint32_t options = turkic ? U_FOLD_CASE_EXCLUDE_SPECIAL_I : U_FOLD_CASE_DEFAULT;
    UErrorCode status = U_ZERO_ERROR;
    const icu::Normalizer2* nfd = icu::Normalizer2::getNFDInstance(status);
    const icu::Normalizer2* nfc = icu::Normalizer2::getNFCInstance(status);
    if (U_FAILURE(status)) return icu::UnicodeString(s).foldCase(options);
    // Folded once before decomposing too: under the Turkic rules the capital
    // dotted I folds to a plain i only while it is one character; decomposed,
    // its I would fold to a dotless i and leave the dot behind.
    icu::UnicodeString decomposed = nfd->normalize(icu::UnicodeString(s).foldCase(options), status);
    decomposed.foldCase(options);
    icu::UnicodeString composed = nfc->normalize(decomposed, status);
    return U_SUCCESS(status) ? composed : decomposed;
}

icu::UnicodeString folded(std::string_view text, bool turkic) {
    // Malformed UTF-8 becomes U+FFFD.
    return folded(icu::UnicodeString::fromUTF8(
                      icu::StringPiece(text.data(), static_cast<int32_t>(text.size()))),
                  turkic);
}

// A mark continues the character before it.
bool continuesCharacter(UChar32 c) {
    if (u_hasBinaryProperty(c, UCHAR_GRAPHEME_EXTEND)) return true;
    const int8_t type = u_charType(c);
    return type == U_NON_SPACING_MARK || type == U_COMBINING_SPACING_MARK ||
           type == U_ENCLOSING_MARK;
}

// The characters whose folded, composed form holds an ASCII character
// (ß as ss, the Kelvin sign as k, the ﬁ ligature as fi, the Greek question
// mark as ';' ...). Only case folding and canonical decomposition can bring
// ASCII out of something else, so only the characters they change are
// examined, once.
const icu::UnicodeSet& asciiBearing() {
    static const icu::UnicodeSet* const set = [] {
        UErrorCode status = U_ZERO_ERROR;
        const icu::UnicodeSet changed(
            icu::UnicodeString(u"[[:Changes_When_Casefolded:][:NFD_Quick_Check=No:]]"), status);
        auto* bearing = new icu::UnicodeSet();
        const bool turkic = turkicCaseRules();
        for (int32_t range = 0; U_SUCCESS(status) && range < changed.getRangeCount(); ++range) {
            for (UChar32 c = changed.getRangeStart(range); c <= changed.getRangeEnd(range); ++c) {
                if (c < 0x80) continue;
                const icu::UnicodeString form = folded(icu::UnicodeString(c), turkic);
                for (int32_t i = 0; i < form.length(); ++i) {
                    if (form.charAt(i) < 0x80) {
                        bearing->add(c);
                        break;
                    }
                }
            }
        }
        if (U_FAILURE(status)) bearing->add(0x80, 0x10FFFF);  // everything takes the full way
        bearing->freeze();
        return bearing;
    }();
    return *set;
}

// An ASCII word in a text that is not ASCII: when nothing in the text folds
// to ASCII, the word can only be found among the text's own ASCII bytes, as
// a run not followed by a mark. Empty when the full comparison must decide.
std::optional<bool> asciiWordInText(std::string_view text, std::string_view word) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
    const auto length = static_cast<int32_t>(text.size());
    for (int32_t at = 0; at < length;) {
        if (bytes[at] < 0x80) {
            ++at;
            continue;
        }
        UChar32 c;
        U8_NEXT(bytes, at, length, c);
        if (c >= 0 && asciiBearing().contains(c)) return std::nullopt;
    }
    const char first = asciiFold(word.front());
    for (size_t at = 0; at + word.size() <= text.size(); ++at) {
        if (asciiFold(text[at]) != first) continue;
        size_t i = 1;
        while (i < word.size() && asciiFold(text[at + i]) == asciiFold(word[i])) ++i;
        if (i < word.size()) continue;
        const size_t end = at + word.size();
        if (end == text.size() || static_cast<unsigned char>(text[end]) < 0x80) return true;
        int32_t next = static_cast<int32_t>(end);
        UChar32 c;
        U8_NEXT(bytes, next, length, c);
        if (c < 0 || !continuesCharacter(c)) return true;
    }
    return false;
}

}  // namespace

bool localizedCaseInsensitiveContains(std::string_view text, std::string_view word) {
    if (word.empty()) return true;
    const bool turkic = turkicCaseRules();
    if (!turkic && isAscii(word)) {
        if (isAscii(text)) return asciiContains(text, word);
        if (const std::optional<bool> found = asciiWordInText(text, word)) return *found;
    }

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
