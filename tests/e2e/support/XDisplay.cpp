#include "XDisplay.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

namespace cliploop::e2e {

namespace {

std::string monitorGeometry(const QRect& area) {
    // Physical size at 96 dpi, as TESTING.md's examples give it.
    const int widthMm = area.width() * 254 / 960;
    const int heightMm = area.height() * 254 / 960;
    std::ostringstream text;
    text << area.width() << '/' << widthMm << 'x' << area.height() << '/' << heightMm << '+'
         << area.x() << '+' << area.y();
    return text.str();
}

}  // namespace

void pause(std::chrono::milliseconds duration) {
    std::this_thread::sleep_for(duration);
}

std::unique_ptr<XDisplay> XDisplay::start(int width, int height, const std::string& logPath,
                                          std::string* error) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        *error = std::string("pipe: ") + std::strerror(errno);
        return nullptr;
    }
    const int childDescriptor = fds[1] == 3 ? 4 : 3;
    ProcessOptions options;
    options.arguments = {
        "Xvfb",      "-displayfd", std::to_string(childDescriptor),
        "-screen",   "0",          std::to_string(width) + "x" + std::to_string(height) + "x24",
        "-nolisten", "tcp",        "-noreset"};
    options.stderrPath = logPath;
    options.stdoutPath = logPath;
    options.passDescriptor = fds[1];
    options.childDescriptor = childDescriptor;
    auto server = Process::start(options, error);
    close(fds[1]);
    if (!server) {
        close(fds[0]);
        return nullptr;
    }
    // Xvfb writes the number once it accepts connections.
    std::string number;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (number.find('\n') == std::string::npos) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd fd{fds[0], POLLIN, 0};
        if (left.count() <= 0 || poll(&fd, 1, static_cast<int>(left.count())) <= 0) break;
        char buffer[32];
        const ssize_t n = read(fds[0], buffer, sizeof buffer);
        if (n <= 0) break;
        number.append(buffer, static_cast<size_t>(n));
    }
    close(fds[0]);
    if (number.find('\n') == std::string::npos) {
        std::ifstream log(logPath);
        std::ostringstream text;
        text << log.rdbuf();
        *error = "Xvfb did not report a display number: " + text.str();
        return nullptr;
    }
    number.erase(number.find('\n'));
    return std::unique_ptr<XDisplay>(new XDisplay(std::move(server), ":" + number));
}

XDisplay::~XDisplay() = default;

EnvironmentChanges XDisplay::environment() const {
    return {{"DISPLAY", name_}, {"WAYLAND_DISPLAY", std::nullopt}, {"XAUTHORITY", std::nullopt}};
}

bool XDisplay::setMonitor(const std::string& monitor, const QRect& area, bool withOutput,
                          std::string* error) {
    const auto result = run(
        {"xrandr", "--setmonitor", monitor, monitorGeometry(area), withOutput ? "screen" : "none"},
        environment());
    if (!result.ok() && error) *error = result.err;
    return result.ok();
}

bool XDisplay::deleteMonitor(const std::string& monitor, std::string* error) {
    const auto result = run({"xrandr", "--delmonitor", monitor}, environment());
    if (!result.ok() && error) *error = result.err;
    return result.ok();
}

bool XDisplay::xdotool(const std::vector<std::string>& arguments, std::string* output) {
    std::vector<std::string> command = {"xdotool"};
    command.insert(command.end(), arguments.begin(), arguments.end());
    const auto result = run(command, environment());
    if (output) *output = result.ok() ? result.out : result.err;
    return result.ok();
}

bool XDisplay::key(const std::string& keys) {
    std::vector<std::string> arguments = {"key", "--delay", "60"};
    std::istringstream words(keys);
    for (std::string word; words >> word;) arguments.push_back(word);
    return xdotool(arguments);
}

bool XDisplay::type(const std::string& text) {
    return xdotool({"type", "--delay", "40", text});
}

bool XDisplay::click(int x, int y, int button) {
    // No --sync: it waits for a motion that never comes when the pointer is
    // already there. X input events stay in order anyway.
    return xdotool(
        {"mousemove", std::to_string(x), std::to_string(y), "click", std::to_string(button)});
}

std::vector<XWindow> XDisplay::windows(const std::string& windowClass) {
    std::string ids;
    std::vector<XWindow> result;
    // xdotool search fails when nothing matches: an empty list then.
    if (!xdotool({"search", "--onlyvisible", "--class", windowClass}, &ids)) return result;
    std::istringstream lines(ids);
    for (unsigned long id; lines >> id;) {
        std::string shell;
        if (!xdotool({"getwindowgeometry", "--shell", std::to_string(id)}, &shell)) continue;
        int x = 0, y = 0, width = 0, height = 0;
        std::istringstream fields(shell);
        for (std::string line; std::getline(fields, line);) {
            const auto equals = line.find('=');
            if (equals == std::string::npos) continue;
            const std::string key = line.substr(0, equals);
            const int value = std::atoi(line.c_str() + equals + 1);
            if (key == "X") x = value;
            if (key == "Y") y = value;
            if (key == "WIDTH") width = value;
            if (key == "HEIGHT") height = value;
        }
        result.push_back({id, QRect(x, y, width, height)});
    }
    return result;
}

unsigned long XDisplay::focusedWindow() {
    std::string text;
    if (!xdotool({"getwindowfocus"}, &text)) return 0;
    return std::strtoul(text.c_str(), nullptr, 10);
}

QImage XDisplay::screenshot() {
    // Uncompressed: a PNG of the whole display costs more than the grab.
    const auto result = run({"import", "-window", "root", "-depth", "8", "ppm:-"}, environment());
    QImage image;
    if (result.ok()) {
        image.loadFromData(reinterpret_cast<const uchar*>(result.out.data()),
                           static_cast<int>(result.out.size()), "PPM");
    }
    return image.convertToFormat(QImage::Format_RGB32);
}

}  // namespace cliploop::e2e
