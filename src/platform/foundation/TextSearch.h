#pragma once
// Containment of one text in another, ignoring case under the user's locale
// (ICU's default locale, from the environment), as a person reading a list of
// file names expects:
// - Case is ignored by full Unicode case folding ("STRASSE" contains "ß",
//   "ÜNÏCODE" contains "ünï"); in Turkish and Azeri, dotted and dotless i
//   fold the Turkic way.
// - Diacritics count ("Über" does not contain "u"), and a match may not end
//   inside a character: "é" written as e plus a combining accent does not
//   contain "e". Canonically equivalent spellings (composed or decomposed)
//   are equal.
// - Bytes that are not UTF-8 are read as U+FFFD, so such a name still
//   matches on its readable parts.
//
// Thread-safe; no state is kept between calls.
#include <string_view>

namespace cliploop {

// Whether `word` occurs in `text`. An empty word occurs in every text.
bool localizedCaseInsensitiveContains(std::string_view text, std::string_view word);

}  // namespace cliploop
