#pragma once
// Child processes for the end-to-end suite: the X server, the program under
// test, the frame receiver and the command-line tools that drive them.
//
// Every child is started with an environment built before fork (no
// allocation between fork and exec), and a Process object ends its own child
// when it goes: SIGTERM, then SIGKILL if the child lingers.
#include <sys/types.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace cliploop::e2e {

// Changes to the inherited environment: a value sets the variable, nullopt
// removes it.
using EnvironmentChanges = std::vector<std::pair<std::string, std::optional<std::string>>>;

struct ProcessOptions {
    std::vector<std::string> arguments;  // arguments[0] is looked up in PATH
    EnvironmentChanges environment;
    std::string stdoutPath;  // "" and not piped: /dev/null
    std::string stderrPath;  // "": /dev/null
    bool pipeStdout = false;
    // A descriptor of ours that the child receives as `childDescriptor` (for
    // Xvfb's -displayfd); -1: none.
    int passDescriptor = -1;
    int childDescriptor = 3;
};

class Process {
  public:
    static std::unique_ptr<Process> start(const ProcessOptions& options, std::string* error);
    ~Process();
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    pid_t pid() const { return pid_; }
    // The read end of the child's standard output, when piped; owned here.
    int stdoutDescriptor() const { return stdout_; }
    // Whether the child has not exited yet (reaps it when it has).
    bool running();
    // The exit status (128 + signal for a signal) once the child has ended
    // within `timeout`, else nullopt.
    std::optional<int> wait(std::chrono::milliseconds timeout);
    // Asks the child to end and waits for it; kills it if it will not.
    int stop(std::chrono::milliseconds grace = std::chrono::milliseconds(3000));

  private:
    Process(pid_t pid, int stdoutDescriptor) : pid_(pid), stdout_(stdoutDescriptor) {}
    pid_t pid_;
    int stdout_;
    std::optional<int> status_;
};

struct RunResult {
    int status = -1;  // -1: could not start or timed out
    std::string out;
    std::string err;
    bool ok() const { return status == 0; }
};

// Runs a command to its end, collecting both outputs; kills it after `timeout`.
RunResult run(const std::vector<std::string>& arguments, const EnvironmentChanges& environment = {},
              std::chrono::milliseconds timeout = std::chrono::milliseconds(60000));

// "a b 'c d'" for messages.
std::string describe(const std::vector<std::string>& arguments);

}  // namespace cliploop::e2e
