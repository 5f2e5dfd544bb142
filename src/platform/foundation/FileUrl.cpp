#include "foundation/FileUrl.h"

#include <unistd.h>

#include <cerrno>
#include <string_view>
#include <vector>

namespace cliploop {
namespace {

bool isUnreserved(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '.' || c == '_' || c == '~';
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

bool startsWithNoCase(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size()) return false;
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        const char c = text[i];
        const char lower = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
        if (lower != prefix[i]) return false;
    }
    return true;
}

std::string currentFolder() {
    std::vector<char> buffer(4096);
    for (;;) {
        if (getcwd(buffer.data(), buffer.size()) != nullptr) return buffer.data();
        if (errno != ERANGE) return {};
        buffer.resize(buffer.size() * 2);
    }
}

}  // namespace

FileUrl FileUrl::fromPath(std::string path) {
    FileUrl url;
    if (path.empty()) return url;
    if (path.front() != '/') {
        // Without a current folder (it was removed) a relative path names
        // nothing; the URL stays empty rather than pointing somewhere else.
        std::string base = currentFolder();
        if (base.empty()) return url;
        if (base.back() != '/') base += '/';
        path.insert(0, base);
    }
    url.path_ = std::move(path);
    return url;
}

FileUrl FileUrl::fromString(const std::string& text) {
    std::string_view rest(text);
    if (!startsWithNoCase(rest, "file://")) return {};
    rest.remove_prefix(7);
    // The authority may only name this machine.
    const std::size_t slash = rest.find('/');
    if (slash == std::string_view::npos) return {};
    const std::string_view host = rest.substr(0, slash);
    if (!host.empty() && !(host.size() == 9 && startsWithNoCase(host, "localhost"))) return {};
    rest.remove_prefix(slash);
    // A query or fragment is not part of the file's path.
    rest = rest.substr(0, rest.find_first_of("?#"));

    std::string path;
    path.reserve(rest.size());
    for (std::size_t i = 0; i < rest.size(); ++i) {
        if (rest[i] != '%') {
            path += rest[i];
            continue;
        }
        if (rest.size() - i < 3) return {};
        const int high = hexValue(rest[i + 1]);
        const int low = hexValue(rest[i + 2]);
        if (high < 0 || low < 0) return {};
        const char byte = static_cast<char>(high * 16 + low);
        // No file name holds a NUL; taking one would cut the path short.
        if (byte == '\0') return {};
        path += byte;
        i += 2;
    }
    FileUrl url;
    url.path_ = std::move(path);
    return url;
}

std::string FileUrl::lastPathComponent() const {
    std::string_view path(path_);
    while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
    if (path == "/") return {};
    const std::size_t slash = path.rfind('/');
    return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

std::string FileUrl::absoluteString() const {
    if (path_.empty()) return {};
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string text = "file://";
    text.reserve(text.size() + path_.size() * 3);
    for (const char c : path_) {
        const auto byte = static_cast<unsigned char>(c);
        if (isUnreserved(byte) || byte == '/') {
            text += c;
        } else {
            text += '%';
            text += digits[byte >> 4];
            text += digits[byte & 0x0F];
        }
    }
    return text;
}

}  // namespace cliploop
