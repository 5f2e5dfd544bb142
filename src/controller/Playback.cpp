#include <QString>

#include "controller/PixelBufferAttributes.h"
#include "controller/ViewController.h"
#include "ui/SliderValue.h"

namespace cliploop {

void ViewController::selectVideoWithLoop(const FileUrl& url) {
    // A loop turn of the clip that played until now waits until this start
    // has rebuilt the queue (and then finds its item gone: see below).
    std::lock_guard<std::recursive_mutex> lock(queueMutex_);

    std::shared_ptr<PlayerItemVideoOutput> output =
        PlayerItemVideoOutput::create(pixelBufferAttributes());
    videoOutput.store(output);  // 1

    const std::shared_ptr<Asset> asset = Asset::assetWithURL(url);  // 2

    player->pause();  // 3

    std::shared_ptr<PlayerItem> itemA = PlayerItem::create(asset);  // 4
    std::shared_ptr<PlayerItem> itemB = PlayerItem::create(asset);

    player->removeAllItems();  // 5
    player->replaceCurrentItemWithPlayerItem(itemA);
    player->insertItem(itemB, itemA);

    player->setActionAtItemEnd(ActionAtItemEnd::Advance);  // 6

    if (playerView) playerView->setPlayer(player);  // 7
    if (playerView2) playerView2->setPlayer(player);

    if (std::shared_ptr<PlayerItem> current = player->currentItem())  // 8
        current->addOutput(output);

    player->play();  // 9
    // The new clip plays at the rate the slider and its text show, not at
    // play's 1.0 under a text that still claims the earlier rate.
    player->setRate(sliderRateValue_);

    // 10: exactly one registration in force, whatever came before. It runs
    // on the engine's playback thread.
    NotificationCenter& center = NotificationCenter::defaultCenter();
    center.removeObserver(this, std::string(kPlayerItemDidPlayToEndTimeNotification));
    std::weak_ptr<ViewController> weak = weak_from_this();
    center.addObserver(this, kPlayerItemDidPlayToEndTimeNotification, nullptr,
                       [weak](const Notification& notification) {
                           if (auto self = weak.lock()) self->playerItemDidReachEnd(notification);
                       });
}

void ViewController::playerItemDidReachEnd(const Notification& notification) {
    std::lock_guard<std::recursive_mutex> lock(queueMutex_);

    // An end that a clip start overtook (it was posted before the start
    // rebuilt the queue, and waited for it) names an item that is no longer
    // current: turning now would cut the new clip's first item short.
    if (const auto* ended = std::any_cast<std::shared_ptr<PlayerItem>>(&notification.object)) {
        if (*ended && *ended != player->currentItem()) return;
    }

    std::shared_ptr<PlayerItemVideoOutput> output =
        PlayerItemVideoOutput::create(pixelBufferAttributes());
    videoOutput.store(output);  // 1

    const std::shared_ptr<PlayerItem> item = player->currentItem();  // 2
    if (!item) return;

    player->removeItem(item);  // 3

    // The replaced output would otherwise stay attached and pile up, one
    // more on each turn, for as long as the clip loops.
    for (const auto& attached : item->outputs()) item->removeOutput(attached);

    item->seekToTime(MediaTime::zero());  // 4

    if (std::shared_ptr<PlayerItem> current = player->currentItem())  // 5
        current->addOutput(output);

    player->insertItem(item, nullptr);  // 6
}

void ViewController::sliderRate(QSlider* sender) {
    const float rate = float(sliderFloatValue(*sender));
    sliderRateValue_ = rate;
    player->setRate(rate);                                                        // 1
    if (rateField) rateField->setText(QString::asprintf("%.2fx", double(rate)));  // 2
}

}  // namespace cliploop
