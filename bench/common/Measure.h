#pragma once
// Measurements several benchmarks take the same way: the CPU a running
// process has used, and what one plain copy of a picture costs here (the
// reference that per-frame costs are read against).
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace cliploop::bench {

// The value below which the given share of `values` lies.
inline double percentile(std::vector<double> values, double p) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    return values[static_cast<size_t>(p * static_cast<double>(values.size() - 1))];
}

// User + system time of a running process so far, in seconds; -1 when it
// cannot be read. The command name may hold spaces and parentheses, so the
// fields are counted from its closing one.
inline double cpuSeconds(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    std::getline(stat, line);
    const size_t close = line.rfind(')');
    if (close == std::string::npos) return -1;
    std::istringstream rest(line.substr(close + 2));
    std::string field;
    unsigned long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && rest >> field; ++i) {
        if (i == 14) utime = std::stoul(field);
        if (i == 15) stime = std::stoul(field);
    }
    return double(utime + stime) / double(sysconf(_SC_CLK_TCK));
}

// Median microseconds of one memcpy of a BGRA picture of that size.
inline double memcpyMicroseconds(size_t width, size_t height, int rounds) {
    const size_t bytes = width * height * 4;
    std::vector<uint8_t> from(bytes, 1), to(bytes, 0);
    std::vector<double> costs;
    for (int i = 0; i < rounds; ++i) {
        from[static_cast<size_t>(i)] = static_cast<uint8_t>(i);
        const auto start = std::chrono::steady_clock::now();
        std::memcpy(to.data(), from.data(), bytes);
        costs.push_back(
            std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start)
                .count());
    }
    volatile uint8_t sink = to[7];
    (void)sink;
    return percentile(costs, 0.5);
}

}  // namespace cliploop::bench
