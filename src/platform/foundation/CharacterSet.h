#pragma once
// A set of Unicode code points, and splitting UTF-8 text at its members.
#include <functional>
#include <string>
#include <vector>

namespace cliploop {

class CharacterSet {
  public:
    // Unicode general category Zs (space separators) and the tab; line
    // breaks are not members.
    static CharacterSet whitespaces();
    bool contains(char32_t c) const { return test_(c); }

    // Splits UTF-8 `text` at every member: each member ends one piece, so
    // adjacent members and members at either end give empty pieces, and an
    // empty text gives one empty piece. Pieces are not changed otherwise.
    std::vector<std::string> componentsSeparatedBy(const std::string& text) const;

  private:
    explicit CharacterSet(std::function<bool(char32_t)> test) : test_(std::move(test)) {}
    std::function<bool(char32_t)> test_;
};

}  // namespace cliploop
