#pragma once
// Loops one file the way the application's controller does: two items of one
// asset, a fresh output at each turn, the turn done in the end-of-item
// observer, and a reader that takes the newest frame every few milliseconds
// as the frame pump does. Records every frame it takes.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "foundation/NotificationCenter.h"
#include "media/MediaEngine.h"

namespace cliploop::testing {

struct TakenFrame {
    int turn = 0;  // the loop turn whose output gave the frame (0: the clip start's)
    MediaTime time;
    int number = -1;  // as drawn by the clip generator
    int width = 0, height = 0;
};

class LoopDriver {
  public:
    LoopDriver(const std::string& path, float rate,
               std::chrono::microseconds readEvery = std::chrono::milliseconds(2));
    ~LoopDriver();

    // Waits (up to `timeout`, a hang guard) until `done` holds; true if it did.
    bool waitUntil(const std::function<bool()>& done,
                   std::chrono::seconds timeout = std::chrono::seconds(30));
    int turns() const { return turns_.load(); }
    std::vector<TakenFrame> taken() const;
    QueuePlayer& player() { return *player_; }
    std::shared_ptr<PlayerItem> itemA() const { return a_; }
    std::shared_ptr<PlayerItem> itemB() const { return b_; }
    // Whether, in every turn so far, the notification's object was the
    // player's current item while the observer ran.
    bool objectWasCurrentItem() const { return objectWasCurrent_.load(); }
    std::thread::id observerThread() const;
    void stop();

  private:
    void turn(const Notification& notification);
    void read();

    std::shared_ptr<QueuePlayer> player_;
    std::shared_ptr<PlayerItem> a_, b_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::shared_ptr<PlayerItemVideoOutput> output_;
    int outputTurn_ = 0;
    std::vector<TakenFrame> taken_;
    std::thread::id observerThread_;
    struct TurnGuard {
        std::mutex mutex;  // a turn and the clip start never overlap
        bool closed = false;
    };
    std::shared_ptr<TurnGuard> guard_ = std::make_shared<TurnGuard>();
    std::atomic<int> turns_{0};
    std::atomic<bool> objectWasCurrent_{true};
    std::atomic<bool> stopping_{false};
    std::chrono::microseconds readEvery_;
    std::thread reader_;
};

PixelBufferAttributes pumpAttributes();

}  // namespace cliploop::testing
