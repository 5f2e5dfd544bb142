#include "ui/TerminationSignals.h"

#include <fcntl.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QSocketNotifier>
#include <array>
#include <atomic>
#include <cerrno>
#include <csignal>

namespace cliploop::application {

namespace {

constexpr std::array<int, 2> kSignals{SIGINT, SIGTERM};

// The pipe's write end, read by the handler: a lock-free atomic is the only
// kind of shared state a signal handler may touch.
std::atomic<int> wakeFd{-1};
static_assert(std::atomic<int>::is_always_lock_free);

void onSignal(int) {
    const int savedErrno = errno;
    const int fd = wakeFd.load(std::memory_order_relaxed);
    if (fd >= 0) {
        const char byte = 1;
        // Full pipe: a quit is already asked for and not yet read.
        (void)!write(fd, &byte, 1);
    }
    errno = savedErrno;
}

struct Watch {
    int readFd = -1;
    int writeFd = -1;
    std::array<struct sigaction, kSignals.size()> previous{};
    std::unique_ptr<QSocketNotifier> notifier;

    ~Watch() {
        for (size_t i = 0; i < kSignals.size(); ++i) sigaction(kSignals[i], &previous[i], nullptr);
        wakeFd.store(-1);
        notifier.reset();
        close(readFd);
        close(writeFd);
    }
};

}  // namespace

std::shared_ptr<void> quitOnTerminationSignals(QCoreApplication* app) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) return nullptr;
    auto watch = std::make_shared<Watch>();
    watch->readFd = fds[0];
    watch->writeFd = fds[1];
    watch->notifier = std::make_unique<QSocketNotifier>(fds[0], QSocketNotifier::Read);
    const int readFd = fds[0];
    QObject::connect(watch->notifier.get(), &QSocketNotifier::activated, app, [readFd] {
        char bytes[16];
        while (read(readFd, bytes, sizeof bytes) > 0) {
        }
        QCoreApplication::quit();
    });
    wakeFd.store(fds[1]);
    struct sigaction action {};
    action.sa_handler = &onSignal;
    sigemptyset(&action.sa_mask);
    // Slow system calls go on after the handler; the loop learns of the
    // signal through the pipe, not through an interrupted call.
    action.sa_flags = SA_RESTART;
    for (size_t i = 0; i < kSignals.size(); ++i)
        sigaction(kSignals[i], &action, &watch->previous[i]);
    return watch;
}

}  // namespace cliploop::application
