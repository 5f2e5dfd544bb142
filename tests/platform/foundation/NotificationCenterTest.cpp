// ctest-labels: concurrency
#include "foundation/NotificationCenter.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace cliploop {
namespace {

// Distinct identities for observers and senders.
int observerA, observerB, observerC, senderX, senderY;

TEST(NotificationCenter, DeliversSynchronouslyInRegistrationOrderOnThePostingThread) {
    NotificationCenter center;
    std::vector<std::string> calls;
    std::vector<std::thread::id> threads;
    auto record = [&](std::string label) {
        return [&, label](const Notification& n) {
            calls.push_back(label + ":" + std::any_cast<std::string>(n.object));
            threads.push_back(std::this_thread::get_id());
        };
    };
    center.addObserver(&observerB, "Tick", nullptr, record("b"));
    center.addObserver(&observerA, "Tick", nullptr, record("a"));
    center.addObserver(&observerC, "Other", nullptr, record("c"));
    center.addObserver(&observerA, "Tick", nullptr, record("a2"));

    std::thread poster([&] { center.post("Tick", nullptr, std::string("/clips/x.mov")); });
    const auto posterId = poster.get_id();
    poster.join();

    EXPECT_EQ(calls,
              (std::vector<std::string>{"b:/clips/x.mov", "a:/clips/x.mov", "a2:/clips/x.mov"}));
    for (const auto& id : threads) EXPECT_EQ(id, posterId);
}

TEST(NotificationCenter, SenderFilterPassesOnlyThatSenderWhileNoFilterPassesAll) {
    NotificationCenter center;
    std::vector<std::string> calls;
    center.addObserver(&observerA, "N", &senderX,
                       [&](const Notification&) { calls.push_back("x-only"); });
    center.addObserver(&observerB, "N", nullptr, [&](const Notification& n) {
        calls.push_back(n.sender == &senderX   ? "any<-x"
                        : n.sender == &senderY ? "any<-y"
                                               : "any<-none");
    });

    center.post("N", &senderX);
    center.post("N", &senderY);
    center.post("N");

    EXPECT_EQ(calls, (std::vector<std::string>{"x-only", "any<-x", "any<-y", "any<-none"}));
}

TEST(NotificationCenter, RemovalByObserverNameAndSender) {
    NotificationCenter center;
    std::vector<std::string> calls;
    auto record = [&](std::string label) {
        return [&, label](const Notification&) { calls.push_back(label); };
    };
    center.addObserver(&observerA, "One", nullptr, record("a-one"));
    center.addObserver(&observerA, "Two", &senderX, record("a-two-x"));
    center.addObserver(&observerA, "Two", &senderY, record("a-two-y"));
    center.addObserver(&observerB, "One", nullptr, record("b-one"));

    center.removeObserver(&observerA, std::string("Two"), &senderX);
    center.post("Two", &senderX);
    center.post("Two", &senderY);
    EXPECT_EQ(calls, (std::vector<std::string>{"a-two-y"}));

    calls.clear();
    center.removeObserver(&observerA, std::string("One"));
    center.post("One");
    center.post("Two", &senderY);
    EXPECT_EQ(calls, (std::vector<std::string>{"b-one", "a-two-y"}));

    calls.clear();
    center.removeObserver(&observerA);
    center.post("One");
    center.post("Two", &senderY);
    EXPECT_EQ(calls, (std::vector<std::string>{"b-one"}));
}

TEST(NotificationCenter, HandlersMayRemoveThemselvesAndOthersDuringDelivery) {
    NotificationCenter center;
    std::vector<std::string> calls;
    center.addObserver(&observerA, "N", nullptr, [&](const Notification&) {
        calls.push_back("a");
        center.removeObserver(&observerA);  // itself
        center.removeObserver(&observerC);  // a later one of this delivery
    });
    center.addObserver(&observerB, "N", nullptr,
                       [&](const Notification&) { calls.push_back("b"); });
    center.addObserver(&observerC, "N", nullptr,
                       [&](const Notification&) { calls.push_back("c"); });

    center.post("N");
    center.post("N");

    EXPECT_EQ(calls, (std::vector<std::string>{"a", "b", "b"}));
}

TEST(NotificationCenter, ObserverAddedDuringDeliveryIsCalledFromTheNextPostOn) {
    NotificationCenter center;
    int added = 0;
    int lateCalls = 0;
    center.addObserver(&observerA, "N", nullptr, [&](const Notification&) {
        if (added++ == 0) {
            center.addObserver(&observerB, "N", nullptr, [&](const Notification&) { ++lateCalls; });
        }
    });
    center.post("N");
    EXPECT_EQ(lateCalls, 0);
    center.post("N");
    EXPECT_EQ(lateCalls, 1);
}

TEST(NotificationCenter, HandlerMayPostAgain) {
    NotificationCenter center;
    std::vector<std::string> calls;
    center.addObserver(&observerA, "Outer", nullptr, [&](const Notification&) {
        calls.push_back("outer");
        center.post("Inner");
        calls.push_back("outer-after");
    });
    int depth = 0;
    center.addObserver(&observerB, "Inner", nullptr, [&](const Notification&) {
        calls.push_back("inner");
        if (++depth < 3) center.post("Inner");  // the same name, nested
    });

    center.post("Outer");

    EXPECT_EQ(calls, (std::vector<std::string>{"outer", "inner", "inner", "inner", "outer-after"}));
}

TEST(NotificationCenter, RemovalOnAnotherThreadStopsAHandlerWhoseTurnHasNotCome) {
    NotificationCenter center;
    std::mutex mutex;
    std::condition_variable changed;
    bool firstRunning = false;
    bool removed = false;
    std::atomic<int> secondCalls{0};

    center.addObserver(&observerA, "N", nullptr, [&](const Notification&) {
        std::unique_lock lock(mutex);
        firstRunning = true;
        changed.notify_all();
        changed.wait(lock, [&] { return removed; });
    });
    center.addObserver(&observerB, "N", nullptr, [&](const Notification&) { ++secondCalls; });

    std::thread poster([&] { center.post("N"); });
    {
        std::unique_lock lock(mutex);
        changed.wait(lock, [&] { return firstRunning; });
    }
    // The delivery has begun and holds observerB in its list.
    center.removeObserver(&observerB);
    {
        std::lock_guard lock(mutex);
        removed = true;
    }
    changed.notify_all();
    poster.join();

    EXPECT_EQ(secondCalls.load(), 0);
}

TEST(NotificationCenter, ConcurrentPostsAddsAndRemovesLoseNoDelivery) {
    NotificationCenter center;
    std::atomic<int> steady{0};
    std::atomic<int> churned{0};
    center.addObserver(&observerA, "N", nullptr, [&](const Notification&) { ++steady; });

    constexpr int posters = 4;
    constexpr int postsEach = 2000;
    std::atomic<bool> stop{false};
    std::thread churn([&] {
        // Registrations come and go while posts are delivered.
        while (!stop.load()) {
            center.addObserver(&observerB, "N", nullptr, [&](const Notification&) { ++churned; });
            center.post("Unrelated");
            center.removeObserver(&observerB);
        }
    });
    std::vector<std::thread> threads;
    for (int t = 0; t < posters; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < postsEach; ++i) center.post("N", t % 2 ? &senderX : nullptr);
        });
    }
    for (auto& thread : threads) thread.join();
    stop = true;
    churn.join();

    EXPECT_EQ(steady.load(), posters * postsEach);
    EXPECT_LE(churned.load(), posters * postsEach);
}

TEST(NotificationCenter, DefaultCenterIsOneInstanceForEveryThread) {
    NotificationCenter* fromOtherThread = nullptr;
    std::thread([&] { fromOtherThread = &NotificationCenter::defaultCenter(); }).join();
    EXPECT_EQ(&NotificationCenter::defaultCenter(), fromOtherThread);

    int calls = 0;
    NotificationCenter::defaultCenter().addObserver(&observerA, "DefaultCenterTest", nullptr,
                                                    [&](const Notification&) { ++calls; });
    std::thread([] { NotificationCenter::defaultCenter().post("DefaultCenterTest"); }).join();
    NotificationCenter::defaultCenter().removeObserver(&observerA);
    NotificationCenter::defaultCenter().post("DefaultCenterTest");
    EXPECT_EQ(calls, 1);
}

}  // namespace
}  // namespace cliploop
