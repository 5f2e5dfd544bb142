#pragma once
// A private X display for the suite: Xvfb on a free display number, split into
// monitors with xrandr, driven with xdotool and read with screenshots, the way
// a person at that display would use it.
#include <QImage>
#include <QRect>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "Process.h"

namespace cliploop::e2e {

struct XWindow {
    unsigned long id = 0;
    QRect geometry;  // in root coordinates
};

class XDisplay {
  public:
    // Starts Xvfb (-noreset, no TCP) with one screen of width x height; the
    // server picks the display number itself (-displayfd). nullptr, with the
    // reason, when it cannot start.
    static std::unique_ptr<XDisplay> start(int width, int height, const std::string& logPath,
                                           std::string* error);
    ~XDisplay();

    // ":N"
    const std::string& name() const { return name_; }
    EnvironmentChanges environment() const;

    // xrandr monitors. The first one set should carry the real output.
    bool setMonitor(const std::string& monitor, const QRect& area, bool withOutput,
                    std::string* error = nullptr);
    bool deleteMonitor(const std::string& monitor, std::string* error = nullptr);

    // xdotool, with the display set; false (and the reason) when it fails.
    bool xdotool(const std::vector<std::string>& arguments, std::string* output = nullptr);
    bool key(const std::string& keys);  // e.g. "alt+o", "Down Return"
    bool type(const std::string& text);
    bool click(int x, int y, int button = 1);

    // Visible top-level windows of the program whose WM_CLASS matches.
    std::vector<XWindow> windows(const std::string& windowClass);
    unsigned long focusedWindow();

    // The whole display now.
    QImage screenshot();

  private:
    explicit XDisplay(std::unique_ptr<Process> server, std::string name)
        : server_(std::move(server)), name_(std::move(name)) {}
    std::unique_ptr<Process> server_;
    std::string name_;
};

// Polls `condition` until it holds or `timeout` passes; the last result.
template <class Condition>
bool waitUntil(Condition condition, std::chrono::milliseconds timeout,
               std::chrono::milliseconds interval = std::chrono::milliseconds(100));

void pause(std::chrono::milliseconds duration);

}  // namespace cliploop::e2e

#include <thread>

template <class Condition>
bool cliploop::e2e::waitUntil(Condition condition, std::chrono::milliseconds timeout,
                              std::chrono::milliseconds interval) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (condition()) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(interval);
    }
}
