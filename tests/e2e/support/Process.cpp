#include "Process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <thread>

extern char** environ;

namespace cliploop::e2e {

namespace {

using Clock = std::chrono::steady_clock;

// The inherited environment with the changes applied, as "KEY=value" strings.
std::vector<std::string> environmentWith(const EnvironmentChanges& changes) {
    std::map<std::string, std::string> values;
    for (char** entry = environ; *entry; ++entry) {
        const std::string text = *entry;
        const auto equals = text.find('=');
        if (equals != std::string::npos) values[text.substr(0, equals)] = text.substr(equals + 1);
    }
    for (const auto& [key, value] : changes) {
        if (value) {
            values[key] = *value;
        } else {
            values.erase(key);
        }
    }
    std::vector<std::string> result;
    for (const auto& [key, value] : values) result.push_back(key + "=" + value);
    return result;
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
    std::vector<char*> result;
    for (auto& s : strings) result.push_back(s.data());
    result.push_back(nullptr);
    return result;
}

int statusOf(int waitStatus) {
    if (WIFEXITED(waitStatus)) return WEXITSTATUS(waitStatus);
    if (WIFSIGNALED(waitStatus)) return 128 + WTERMSIG(waitStatus);
    return -1;
}

struct Pipe {
    int read = -1, write = -1;
    bool open() {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0) return false;
        read = fds[0];
        write = fds[1];
        return true;
    }
    void closeRead() {
        if (read >= 0) close(read);
        read = -1;
    }
    void closeWrite() {
        if (write >= 0) close(write);
        write = -1;
    }
};

// Spawns with stdin from /dev/null and the given descriptors for 1 and 2
// (-1: /dev/null, or the path when given).
pid_t spawn(const ProcessOptions& options, int stdoutDescriptor, int stderrDescriptor,
            std::string* error) {
    std::vector<std::string> arguments = options.arguments;
    std::vector<std::string> environment = environmentWith(options.environment);
    auto argv = pointers(arguments);
    auto envp = pointers(environment);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    auto output = [&](int target, int descriptor, const std::string& path) {
        if (descriptor >= 0) {
            posix_spawn_file_actions_adddup2(&actions, descriptor, target);
        } else {
            posix_spawn_file_actions_addopen(&actions, target,
                                             path.empty() ? "/dev/null" : path.c_str(),
                                             O_WRONLY | O_CREAT | O_APPEND, 0644);
        }
    };
    output(1, stdoutDescriptor, options.stdoutPath);
    output(2, stderrDescriptor, options.stderrPath);
    if (options.passDescriptor >= 0) {
        posix_spawn_file_actions_adddup2(&actions, options.passDescriptor, options.childDescriptor);
    }
    // The children stay in the suite's process group, so that a Ctrl-C at the
    // terminal, or ctest ending the suite, ends them too.
    pid_t pid = -1;
    const int result = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (result != 0) {
        if (error) *error = describe(options.arguments) + ": " + std::strerror(result);
        return -1;
    }
    return pid;
}

}  // namespace

std::string describe(const std::vector<std::string>& arguments) {
    std::string text;
    for (const auto& argument : arguments) {
        if (!text.empty()) text += ' ';
        const bool plain =
            !argument.empty() && argument.find_first_of(" '\"\\$") == std::string::npos;
        text += plain ? argument : "'" + argument + "'";
    }
    return text;
}

std::unique_ptr<Process> Process::start(const ProcessOptions& options, std::string* error) {
    Pipe out;
    if (options.pipeStdout && !out.open()) {
        if (error) *error = std::string("pipe: ") + std::strerror(errno);
        return nullptr;
    }
    const pid_t pid = spawn(options, out.write, -1, error);
    out.closeWrite();
    if (pid < 0) {
        out.closeRead();
        return nullptr;
    }
    return std::unique_ptr<Process>(new Process(pid, out.read));
}

Process::~Process() {
    stop();
    if (stdout_ >= 0) close(stdout_);
}

bool Process::running() {
    if (status_) return false;
    int waitStatus = 0;
    const pid_t done = waitpid(pid_, &waitStatus, WNOHANG);
    if (done == pid_) {
        status_ = statusOf(waitStatus);
        return false;
    }
    return done == 0;
}

std::optional<int> Process::wait(std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (running()) {
        if (Clock::now() >= deadline) return std::nullopt;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return status_;
}

int Process::stop(std::chrono::milliseconds grace) {
    if (running()) {
        kill(pid_, SIGTERM);
        if (!wait(grace)) {
            kill(pid_, SIGKILL);
            wait(std::chrono::milliseconds(5000));
        }
    }
    return status_.value_or(-1);
}

RunResult run(const std::vector<std::string>& arguments, const EnvironmentChanges& environment,
              std::chrono::milliseconds timeout) {
    RunResult result;
    Pipe out, err;
    if (!out.open() || !err.open()) {
        result.err = std::string("pipe: ") + std::strerror(errno);
        return result;
    }
    ProcessOptions options;
    options.arguments = arguments;
    options.environment = environment;
    std::string error;
    const pid_t pid = spawn(options, out.write, err.write, &error);
    out.closeWrite();
    err.closeWrite();
    if (pid < 0) {
        result.err = error;
        out.closeRead();
        err.closeRead();
        return result;
    }
    const auto deadline = Clock::now() + timeout;
    bool timedOut = false;
    while (out.read >= 0 || err.read >= 0) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            timedOut = true;
            break;
        }
        pollfd fds[2] = {{out.read, POLLIN, 0}, {err.read, POLLIN, 0}};
        if (poll(fds, 2, static_cast<int>(std::min<long>(left.count(), 1000))) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        Pipe* pipes[2] = {&out, &err};
        std::string* texts[2] = {&result.out, &result.err};
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            char buffer[65536];
            const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                texts[i]->append(buffer, static_cast<size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                pipes[i]->closeRead();
            }
        }
    }
    out.closeRead();
    err.closeRead();
    if (timedOut) kill(pid, SIGKILL);
    int waitStatus = 0;
    while (waitpid(pid, &waitStatus, 0) < 0 && errno == EINTR) {
    }
    result.status = timedOut ? -1 : statusOf(waitStatus);
    if (timedOut) result.err += "\n(timed out: " + describe(arguments) + ")";
    return result;
}

}  // namespace cliploop::e2e
