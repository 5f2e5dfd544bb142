#pragma once
// A private PipeWire daemon and the child processes around it, all reaped even when a check fails.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace cliploop::testing {

inline std::string readFile(const std::string& path) {
    std::ostringstream text;
    text << std::ifstream(path, std::ios::binary).rdbuf();
    return text.str();
}

// A hang guard, not a timing check.
template <class Condition>
bool within(std::chrono::seconds limit, Condition condition) {
    for (const auto end = std::chrono::steady_clock::now() + limit; !condition();
         std::this_thread::sleep_for(std::chrono::milliseconds(20)))
        if (std::chrono::steady_clock::now() > end) return false;
    return true;
}

// Outputs to files; its process group ended (SIGTERM, then SIGKILL) when the object goes.
class Child {
  public:
    Child(const std::vector<std::string>& command, const std::string& outPath = "/dev/null",
          const std::string& errPath = "/dev/null") {
        std::vector<char*> argv;
        for (const auto& a : command) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        // posix_spawn, not fork: the test process runs threads of its own.
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        for (const auto& [fd, path] : {std::pair{1, &outPath}, std::pair{2, &errPath}})
            posix_spawn_file_actions_addopen(&actions, fd, path->c_str(),
                                             O_WRONLY | O_CREAT | O_APPEND, 0600);
        posix_spawnattr_t attributes;
        posix_spawnattr_init(&attributes);
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
        posix_spawnattr_setpgroup(&attributes, 0);
        if (posix_spawnp(&pid_, argv[0], &actions, &attributes, argv.data(), environ) != 0)
            pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attributes);
    }
    ~Child() { end(); }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    bool running() { return pid_ > 0 && !reaped(); }
    pid_t pid() const { return pid_; }

    // Its exit status when it exits by itself within `limit`; else -1.
    int wait(std::chrono::seconds limit) {
        if (!within(limit, [&] { return reaped(); })) end();
        return reaped() && WIFEXITED(*status_) ? WEXITSTATUS(*status_) : -1;
    }

    void end() {
        if (pid_ <= 0 || reaped()) return;
        kill(-pid_, SIGCONT);
        kill(-pid_, SIGTERM);
        if (!within(std::chrono::seconds(3), [&] { return reaped(); })) kill(-pid_, SIGKILL);
        int status = 0;
        if (!status_ && waitpid(pid_, &status, 0) == pid_) status_ = status;
        kill(-pid_, SIGKILL);  // anything of its group left behind
    }

  private:
    bool reaped() {
        int status = 0;
        if (!status_ && waitpid(pid_, &status, WNOHANG) == pid_) status_ = status;
        return status_.has_value();
    }

    pid_t pid_ = -1;
    std::optional<int> status_;
};

class PipeWireDaemon {
  public:
    // The process's runtime directory becomes the daemon's, for every child and the publisher.
    PipeWireDaemon() {
        char pattern[] = "/tmp/cliploop-pipewire-XXXXXX";
        if (mkdtemp(pattern)) runtimeDir_ = pattern;
        setenv("XDG_RUNTIME_DIR", runtimeDir_.c_str(), 1);
        std::vector<std::string> names{"DBUS_SESSION_BUS_ADDRESS"};
        for (char** entry = environ; *entry; ++entry)
            if (std::strncmp(*entry, "PIPEWIRE_", 9) == 0)
                names.emplace_back(*entry, std::strchr(*entry, '=') - *entry);
        for (const auto& name : names) unsetenv(name.c_str());
    }
    ~PipeWireDaemon() {
        std::error_code ignored;
        stop();
        std::filesystem::remove_all(runtimeDir_, ignored);
    }

    const std::string& runtimeDir() const { return runtimeDir_; }

    // "" once daemon and session manager serve, else why not; wireplumber waits for the socket.
    std::string start() {
        const std::string out = runtimeDir_ + "/daemon.out", err = runtimeDir_ + "/daemon.err";
        for (const auto& stale :
             {out, err, runtimeDir_ + "/pipewire-0", runtimeDir_ + "/pipewire-0.lock"})
            std::filesystem::remove(stale);  // a killed daemon's socket and lock among them
        session_ = std::make_unique<Child>(
            std::vector<std::string>{"dbus-run-session", "--", "sh", "-c",
                                     "pipewire & while [ ! -S \"$XDG_RUNTIME_DIR/pipewire-0\" ]; "
                                     "do sleep 0.05; done; wireplumber & wait"},
            out, err);
        const bool up = within(std::chrono::seconds(30), [&] {
            return !session_->running() || dump().find("\"WirePlumber\"") != std::string::npos;
        });
        if (!up || !session_->running()) {
            session_.reset();
            return "the PipeWire daemon did not start: " + readFile(err) + readFile(out);
        }
        return "";
    }

    // Ends the whole session, daemon and session manager (SIGKILL: a crash).
    void stop(int signal = SIGTERM) {
        if (!session_) return;
        kill(-session_->pid(), signal);
        session_->wait(std::chrono::seconds(10));
        session_.reset();
    }

    // The "props" block pw-dump gives for the node named `name`; empty when there is none.
    std::string node(const std::string& name) const {
        const std::string dump = this->dump();
        const size_t at = dump.find("\"node.name\": \"" + name + "\"");
        const size_t begin = at == std::string::npos ? at : dump.rfind("\"props\": {", at);
        return begin == std::string::npos ? "" : dump.substr(begin, dump.find('}', at) - begin);
    }

  private:
    std::string dump() const {
        const std::string path = runtimeDir_ + "/dump." + std::to_string(rand());
        Child({"pw-dump"}, path).wait(std::chrono::seconds(20));
        std::string text = readFile(path);
        std::filesystem::remove(path);
        return text;
    }

    std::string runtimeDir_;
    std::unique_ptr<Child> session_;
};

// pipewiresrc writing `buffers` (-1: no end) of `node` as BGRA through to `path` as they arrive.
inline std::vector<std::string> consumer(const std::string& node, const std::string& path,
                                         int buffers = -1) {
    return {"sh", "-c",
            "exec gst-launch-1.0 -q pipewiresrc target-object=" + node +
                " num-buffers=" + std::to_string(buffers) +
                " ! video/x-raw,format=BGRA ! filesink buffer-mode=2 location='" + path + "'"};
}

}  // namespace cliploop::testing
