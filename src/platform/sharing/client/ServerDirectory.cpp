#include "ServerDirectory.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>

#include "SystemError.h"

namespace cliploop::directory {

namespace {

constexpr const char* kEntryHeader = "cliploop-frame-server 1";
constexpr size_t kMaxEntryBytes = 4096;
constexpr size_t kMaxStemNameBytes = 64;

bool endsWith(const std::string& s, const std::string& suffix) {
    return s.size() >= suffix.size() &&
           s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// Opens `path` as a directory without following a final symlink and makes sure
// it is ours and private, tightening its mode when it is ours but too open.
bool verifyPrivateDirectory(const std::string& path, std::string* error) {
    const int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        if (error) *error = path + ": " + detail::systemErrorText(errno);
        return false;
    }
    struct stat st {};
    bool ok = fstat(fd, &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == geteuid();
    if (!ok) {
        if (error) *error = path + ": not a directory owned by this user";
    } else if ((st.st_mode & 077) != 0 && fchmod(fd, 0700) != 0) {
        if (error) *error = path + ": cannot make it private: " + detail::systemErrorText(errno);
        ok = false;
    }
    close(fd);
    return ok;
}

// The runtime directory when the environment names a usable one.
std::optional<std::string> runtimeDirectory() {
    const char* xdg = std::getenv("XDG_RUNTIME_DIR");
    if (!xdg || xdg[0] != '/') return std::nullopt;
    struct stat st {};
    if (stat(xdg, &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != geteuid() ||
        (st.st_mode & 077) != 0) {
        return std::nullopt;
    }
    std::string path = xdg;
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return path;
}

struct ParsedEntry {
    Entry entry;
    bool valid = false;
};

ParsedEntry parseEntry(const std::string& directory, const std::string& text) {
    ParsedEntry parsed;
    size_t pos = 0;
    bool headerSeen = false;
    std::map<std::string, std::string> values;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos) end = text.size();
        const std::string line = text.substr(pos, end - pos);
        pos = end + 1;
        if (!headerSeen) {
            if (line != kEntryHeader) return parsed;
            headerSeen = true;
            continue;
        }
        const size_t eq = line.find('=');
        if (eq == std::string::npos) continue;
        values[line.substr(0, eq)] = line.substr(eq + 1);
    }
    const std::string& socket = values["socket"];
    const std::string& pidText = values["pid"];
    char* endp = nullptr;
    const long pid = std::strtol(pidText.c_str(), &endp, 10);
    if (!headerSeen || pidText.empty() || *endp != '\0' || pid <= 0 ||
        !isValidServerName(values["name"]) || socket.empty() ||
        socket.find('/') != std::string::npos || !endsWith(socket, ".sock")) {
        return parsed;
    }
    parsed.entry.name = values["name"];
    parsed.entry.application = values["application"];
    parsed.entry.pid = static_cast<pid_t>(pid);
    parsed.entry.socketPath = directory + "/" + socket;
    parsed.valid = true;
    return parsed;
}

bool processIsGone(pid_t pid) {
    return pid > 0 && kill(pid, 0) != 0 && errno == ESRCH;
}

// Removes `path` if it is still the file open as `fd`, so that a stale check
// never removes a newer file that took its name meanwhile.
void unlinkIfSame(const std::string& path, int fd) {
    struct stat byPath {
    }, byFd{};
    if (stat(path.c_str(), &byPath) == 0 && fstat(fd, &byFd) == 0 && byPath.st_ino == byFd.st_ino &&
        byPath.st_dev == byFd.st_dev) {
        unlink(path.c_str());
    }
}

// The process id in a stem "<name>.<pid>.<serial>", or 0.
pid_t pidOfStem(const std::string& stem) {
    const size_t last = stem.rfind('.');
    if (last == std::string::npos || last == 0) return 0;
    const size_t before = stem.rfind('.', last - 1);
    if (before == std::string::npos) return 0;
    const std::string digits = stem.substr(before + 1, last - before - 1);
    if (digits.empty() || digits.size() > 9 ||
        !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return 0;
    }
    return static_cast<pid_t>(std::stol(digits));
}

}  // namespace

bool isValidServerName(const std::string& name) {
    if (name.empty() || name.size() > 255) return false;
    return std::none_of(name.begin(), name.end(), [](char c) {
        const auto u = static_cast<unsigned char>(c);
        return u < 0x20 || u == 0x7f;
    });
}

std::optional<std::string> userDirectory(bool create, std::string* error) {
    std::string path;
    if (auto runtime = runtimeDirectory()) {
        path = *runtime + "/cliploop";
    } else {
        path = "/tmp/cliploop-" + std::to_string(geteuid());
    }
    if (create && mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
        if (error) *error = path + ": " + detail::systemErrorText(errno);
        return std::nullopt;
    }
    if (!verifyPrivateDirectory(path, error)) return std::nullopt;
    return path;
}

std::vector<Entry> listEntries() {
    std::vector<Entry> entries;
    const auto directory = userDirectory(false);
    if (!directory) return entries;
    DIR* dir = opendir(directory->c_str());
    if (!dir) return entries;
    std::vector<std::string> names;
    while (const dirent* d = readdir(dir)) names.emplace_back(d->d_name);
    closedir(dir);

    std::vector<std::string> liveSockets;
    for (const std::string& fileName : names) {
        const bool isEntry = endsWith(fileName, ".info") && fileName[0] != '.';
        const bool isPartial = endsWith(fileName, ".tmp") && fileName[0] == '.';
        if (!isEntry && !isPartial) continue;
        const std::string path = *directory + "/" + fileName;
        const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
        if (fd < 0) continue;
        struct stat st {};
        if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != geteuid() ||
            static_cast<size_t>(st.st_size) > kMaxEntryBytes) {
            close(fd);
            continue;
        }
        // A server holds its entry locked for life: a lock we can take means
        // its process is gone.
        const bool unlocked = flock(fd, LOCK_SH | LOCK_NB) == 0;
        if (isPartial) {
            if (unlocked) unlinkIfSame(path, fd);
            close(fd);
            continue;
        }
        std::string text(static_cast<size_t>(st.st_size), '\0');
        const ssize_t got = pread(fd, text.data(), text.size(), 0);
        text.resize(got > 0 ? static_cast<size_t>(got) : 0);
        ParsedEntry parsed = parseEntry(*directory, text);
        if (unlocked || (parsed.valid && processIsGone(parsed.entry.pid))) {
            if (parsed.valid) unlink(parsed.entry.socketPath.c_str());
            unlinkIfSame(path, fd);
        } else if (parsed.valid) {
            parsed.entry.entryPath = path;
            parsed.entry.started = static_cast<double>(st.st_mtim.tv_sec) +
                                   static_cast<double>(st.st_mtim.tv_nsec) * 1e-9;
            liveSockets.push_back(parsed.entry.socketPath);
            entries.push_back(std::move(parsed.entry));
        }
        close(fd);
    }
    // A socket without an entry belongs to a server that has not announced
    // itself yet, or to one that died before it could.
    for (const std::string& fileName : names) {
        if (!endsWith(fileName, ".sock")) continue;
        const std::string path = *directory + "/" + fileName;
        if (std::find(liveSockets.begin(), liveSockets.end(), path) != liveSockets.end()) continue;
        if (processIsGone(pidOfStem(fileName.substr(0, fileName.size() - 5)))) unlink(path.c_str());
    }
    std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
        if (a.name != b.name) return a.name < b.name;
        if (a.pid != b.pid) return a.pid < b.pid;
        return a.socketPath < b.socketPath;
    });
    return entries;
}

std::string Registration::socketPathFor(const std::string& directory, const std::string& name,
                                        uint64_t serial) {
    std::string safe;
    for (char c : name) {
        const bool keep = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                          (c >= '0' && c <= '9') || c == '-' || c == '_';
        safe += keep ? c : '_';
    }
    const std::string suffix =
        "." + std::to_string(getpid()) + "." + std::to_string(serial) + ".sock";
    const size_t limit = sizeof(sockaddr_un::sun_path) - 1;
    if (directory.size() + 1 + suffix.size() + 1 > limit) return {};
    safe.resize(
        std::min({safe.size(), kMaxStemNameBytes, limit - directory.size() - 1 - suffix.size()}));
    if (safe.empty()) safe = "_";
    return directory + "/" + safe + suffix;
}

std::unique_ptr<Registration> Registration::announce(const std::string& socketPath,
                                                     const std::string& name,
                                                     const std::string& application) {
    if (!endsWith(socketPath, ".sock") || !isValidServerName(name)) return nullptr;
    const size_t slash = socketPath.rfind('/');
    const std::string directory = socketPath.substr(0, slash);
    const std::string socketFile = socketPath.substr(slash + 1);
    const std::string stem = socketFile.substr(0, socketFile.size() - 5);
    const std::string entryPath = directory + "/" + stem + ".info";
    const std::string partialPath = directory + "/." + stem + ".tmp";

    std::string app;
    for (char c : application.substr(0, 255)) {
        app += static_cast<unsigned char>(c) < 0x20 ? '_' : c;
    }
    const std::string text = std::string(kEntryHeader) + "\nname=" + name + "\napplication=" + app +
                             "\npid=" + std::to_string(getpid()) + "\nsocket=" + socketFile + "\n";

    unlink(partialPath.c_str());
    const int fd =
        open(partialPath.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) return nullptr;
    // Locked before anyone can see it under its final name.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0 ||
        write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size()) ||
        rename(partialPath.c_str(), entryPath.c_str()) != 0) {
        unlink(partialPath.c_str());
        close(fd);
        return nullptr;
    }
    return std::unique_ptr<Registration>(new Registration(entryPath, socketPath, fd));
}

Registration::~Registration() {
    unlink(entryPath_.c_str());
    unlink(socketPath_.c_str());
    close(lockFd_);
}

}  // namespace cliploop::directory
