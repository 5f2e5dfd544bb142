#pragma once
// The text of an errno value. std::strerror may hand out a buffer that
// another thread's call overwrites; the client library runs on its callers'
// threads, so it asks glibc's strerror_r for a message of its own.
#include <cstring>
#include <string>

namespace cliploop::detail {

inline std::string systemErrorText(int code) {
    char buffer[128];
    // The GNU variant: the message, in `buffer` or in static constant storage.
    return strerror_r(code, buffer, sizeof buffer);
}

}  // namespace cliploop::detail
