// ctest-labels: concurrency
#include "foundation/NotificationCenter.h"

#include <gtest/gtest.h>

#include <atomic>
#include <semaphore>
#include <thread>

namespace cliploop {
namespace {

int observerA, observerB, observerC, senderX, senderY;  // identities only
using Calls = std::vector<std::string>;

// Handlers that log their label, the notification's string object if any, and their thread.
struct Log {
    Calls calls;
    std::vector<std::thread::id> threads;
    NotificationCenter::Handler operator()(std::string label) {
        return [this, label](const Notification& n) {
            const auto* object = std::any_cast<std::string>(&n.object);
            calls.push_back(label + (object ? ":" + *object : ""));
            threads.push_back(std::this_thread::get_id());
        };
    }
};

TEST(NotificationCenter, DeliversInOrderOnThePostingThreadThroughSenderFiltersUntilRemoved) {
    NotificationCenter center;
    Log log;
    center.addObserver(&observerB, "Tick", nullptr, log("b"));
    center.addObserver(&observerA, "Tick", &senderX, log("a-x"));
    center.addObserver(&observerA, "Other", nullptr, log("a-other"));
    std::thread poster([&] { center.post("Tick", &senderX, std::string("/clips/x.mov")); });
    const auto posterId = poster.get_id();
    poster.join();
    EXPECT_EQ(log.threads, std::vector<std::thread::id>(2, posterId));  // no hop to another thread
    center.post("Tick", &senderY);
    EXPECT_EQ(log.calls, (Calls{"b:/clips/x.mov", "a-x:/clips/x.mov", "b"}));

    log.calls.clear();
    center.removeObserver(&observerA, std::string("Tick"));
    center.post("Tick", &senderX);
    center.post("Other");
    center.removeObserver(&observerA);
    center.post("Other");
    EXPECT_EQ(log.calls, (Calls{"b", "a-other"}));
}

TEST(NotificationCenter, HandlersMayAddRemoveAndPostDuringDelivery) {
    NotificationCenter center;
    Log log;
    center.addObserver(&observerA, "N", nullptr, [&](const Notification&) {
        log.calls.push_back("a");
        center.removeObserver(&observerA);                          // itself
        center.removeObserver(&observerC);                          // a later one of this delivery
        center.addObserver(&observerA, "N", nullptr, log("late"));  // from the next post on
        center.post("Inner");
        log.calls.push_back("a-after");
    });
    center.addObserver(&observerB, "N", nullptr, log("b"));
    center.addObserver(&observerC, "N", nullptr, log("c"));
    center.addObserver(&observerB, "Inner", nullptr, [&](const Notification&) {
        log.calls.push_back("inner");
        if (log.calls.size() < 3) center.post("Inner");  // the same name, nested
    });
    center.post("N");
    center.post("N");
    EXPECT_EQ(log.calls, (Calls{"a", "inner", "inner", "a-after", "b", "b", "late"}));
}

TEST(NotificationCenter, OnceRemoveObserverReturnsNoNewCallOfItsHandlerStarts) {
    NotificationCenter center;
    std::binary_semaphore firstRunning{0}, removed{0};
    std::atomic<int> secondCalls{0};
    center.addObserver(&observerA, "N", nullptr, [&](const Notification&) {
        firstRunning.release();
        removed.acquire();
    });
    center.addObserver(&observerB, "N", nullptr, [&](const Notification&) { ++secondCalls; });
    std::thread poster([&] { center.post("N"); });
    firstRunning.acquire();  // the delivery on the poster holds observerB in its list now
    center.removeObserver(&observerB);
    removed.release();
    poster.join();
    EXPECT_EQ(secondCalls.load(), 0);
}

TEST(NotificationCenter, PostsFromManyThreadsAmidAddsAndRemovesLoseNoDelivery) {
    NotificationCenter center;
    std::atomic<int> steady{0};
    center.addObserver(&observerA, "N", nullptr, [&](const Notification&) { ++steady; });
    std::vector<std::thread> posters;
    for (int t = 0; t < 4; ++t)
        posters.emplace_back([&, t] {
            for (int i = 0; i < 2000; ++i) {
                center.post("N", t % 2 ? &senderX : nullptr);
                if (t == 0) center.addObserver(&observerB, "N", nullptr, [](auto&) {});
                if (t == 1) center.removeObserver(&observerB);
            }
        });
    for (auto& thread : posters) thread.join();
    EXPECT_EQ(steady.load(), 4 * 2000);
}

}  // namespace
}  // namespace cliploop
