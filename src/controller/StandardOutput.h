#pragma once
// The diagnostic lines the controller prints. Each line is written in one
// piece and flushed at once: walks on other threads print too, and people
// and tests read the lines as they come.
#include <cstdio>
#include <string>
#include <string_view>

namespace cliploop {

inline void printLine(std::string_view text) {
    std::string line(text);
    line.push_back('\n');
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout);
}

}  // namespace cliploop
