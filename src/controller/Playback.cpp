#include <QString>

#include "controller/ViewController.h"
#include "ui/SliderValue.h"

namespace cliploop {

void ViewController::selectVideoWithLoop(const FileUrl& url) {
    const PreparedClip clip = PreparedClip::prepare(url);
    loop_->start(clip, sliderRateValue_, [this] {
        // Both views show the one player, given again at every clip start.
        if (playerView) playerView->setPlayer(player);
        if (playerView2) playerView2->setPlayer(player);
    });

    // Exactly one registration in force, whatever came before. It runs on
    // the engine's playback thread.
    NotificationCenter& center = NotificationCenter::defaultCenter();
    center.removeObserver(this, std::string(kPlayerItemDidPlayToEndTimeNotification));
    std::weak_ptr<ViewController> weak = weak_from_this();
    center.addObserver(this, kPlayerItemDidPlayToEndTimeNotification, nullptr,
                       [weak](const Notification& notification) {
                           if (auto self = weak.lock()) self->playerItemDidReachEnd(notification);
                       });
}

void ViewController::playerItemDidReachEnd(const Notification& notification) {
    loop_->turn(ClipLoop::endedItem(notification));
}

void ViewController::sliderRate(QSlider* sender) {
    const float rate = float(sliderFloatValue(*sender));
    sliderRateValue_ = rate;
    player->setRate(rate);
    if (rateField) rateField->setText(QString::asprintf("%.2fx", double(rate)));
}

}  // namespace cliploop
