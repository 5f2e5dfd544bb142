#include "foundation/TextSearch.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

namespace cliploop {
namespace {

// The Turkic rules follow the locale the process first sees, so a fresh child takes it on;
// first in the file, so that no earlier search has fixed the rules.
TEST(TextSearch, UnderATurkishLocaleDottedAndDotlessIFoldApart) {
    fflush(nullptr);
    const pid_t child = fork();
    if (child == 0) {
        setenv("LC_ALL", "tr_TR.UTF-8", 1);
        _exit(localizedCaseInsensitiveContains("KIRMIZI.mov", "k\u0131rm\u0131z\u0131") &&
                      !localizedCaseInsensitiveContains("KIRMIZI.mov", "kirmizi") &&
                      localizedCaseInsensitiveContains("D\u0130YARBAKIR.mov", "diyarbak\u0131r")
                  ? 0
                  : 1);
    }
    int status = -1;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_EQ(status, 0);
}

TEST(TextSearch, CaseInsensitiveContainmentOnAnyName) {
    const struct {
        const char *text, *word;
        bool found;
    } cases[] = {
        {"my_clip.mov", "clips", false},
        {"anything", "", true},
        {"ΣΟΦΙΑ.mp4", "σοφια", true},
        {"Straße.mov", "STRASSE", true},
        {"kilo.mov", "\u212A", true},  // the Kelvin sign is a capital K
        // Names that are not ASCII mostly take a shortcut; these must not.
        {"\uFB01lm \u00E9t\u00E9.mov", "FILM", true},
        {"\u212Aelvin \u00FC.mov", "kelvin", true},
        {"\u00FCber take\u0301.mov", "take", false},  // the e carries an accent
        {"\u00FCber take\u0301 take.mov", "take", true},
        // Diacritics count; composed and decomposed spellings are equal.
        {"Über.mov", "uber", false},
        {"cafe\u0301.mov", "CAF\u00C9", true},
        {"映像クリップ.MOV", "クリップ.mov", true},
        {"映像クリップ.mov", "くりっぷ", false},  // hiragana is another script
        // Malformed UTF-8 matches on its readable parts.
        {"\xFF\xFEgig CLIP.mov", "clip", true},
        {"r\xE9sum\xE9.avi", "résumé", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(localizedCaseInsensitiveContains(c.text, c.word), c.found)
            << c.text << " / " << c.word;
}

}  // namespace
}  // namespace cliploop
