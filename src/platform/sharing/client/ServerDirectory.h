#pragma once
// The per-user directory where frame servers announce themselves.
//
// Location: $XDG_RUNTIME_DIR/cliploop when that variable names an absolute
// directory of ours that nobody else can enter, else /tmp/cliploop-<uid>. The
// directory is ours and mode 0700 (fixed when we own it, refused otherwise),
// so only processes of the same user can reach a server's socket.
//
// Each server has two files named after a stem "<name>.<pid>.<serial>" (the
// name reduced to safe characters): the socket "<stem>.sock" and the entry
// "<stem>.info", a few "key=value" lines giving the exact name, the
// application and the process id. The server holds an exclusive flock on its
// entry for as long as it lives; an entry whose lock can be taken, or whose
// process is gone, is stale and removed by whoever lists the directory.
#include <sys/types.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace cliploop::directory {

struct Entry {
    std::string name;
    std::string application;
    pid_t pid = 0;
    std::string socketPath;
    std::string entryPath;
    // When the entry was written (seconds since the epoch, from its mtime).
    double started = 0;
};

// The directory's path, verified; created when `create` is true. nullopt (with
// a reason in `error`) when no safe directory can be had.
std::optional<std::string> userDirectory(bool create, std::string* error = nullptr);

// Every live server, sorted by name then process id; stale entries are removed
// on the way.
std::vector<Entry> listEntries();

// A server's announcement: made once its socket listens, withdrawn (both
// files removed) when destroyed.
class Registration {
  public:
    // Chooses the socket path for a server of that name in `directory`; it
    // fits a socket address and no other live server uses it.
    static std::string socketPathFor(const std::string& directory, const std::string& name,
                                     uint64_t serial);
    // Writes the entry for a server listening at `socketPath`; nullptr when
    // the file cannot be written.
    static std::unique_ptr<Registration> announce(const std::string& socketPath,
                                                  const std::string& name,
                                                  const std::string& application);
    ~Registration();
    Registration(const Registration&) = delete;
    Registration& operator=(const Registration&) = delete;

    const std::string& entryPath() const { return entryPath_; }

  private:
    Registration(std::string entryPath, std::string socketPath, int lockFd)
        : entryPath_(std::move(entryPath)), socketPath_(std::move(socketPath)), lockFd_(lockFd) {}
    std::string entryPath_;
    std::string socketPath_;
    int lockFd_;
};

// True when `name` can be served: 1 to 255 bytes, no control characters.
bool isValidServerName(const std::string& name);

}  // namespace cliploop::directory
