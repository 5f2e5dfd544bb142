#include <QFile>
#include <QFileInfo>
#include <QString>

#include "controller/StandardOutput.h"
#include "controller/ViewController.h"
#include "ui/SliderValue.h"

namespace cliploop {

void ViewController::selectVideoWithLoop(const FileUrl& url) {
    // The new clip's items open and decode their first frame on the engine's
    // threads while the clip that plays goes on: it is replaced only once the
    // new one can really play, so a file that cannot stops nothing, and
    // neither the views nor "Video" ever wait on a file. A later choice
    // supersedes this one.
    std::weak_ptr<ViewController> weak = weak_from_this();
    loop_->choose(url, [weak](const PreparedClip& clip) {
        if (auto self = weak.lock()) self->startChosenClip(clip);
    });
}

void ViewController::startChosenClip(const PreparedClip& clip) {
    if (clip.failed()) {
        const QString name =
            QFileInfo(QFile::decodeName(QByteArray::fromStdString(clip.asset->url().path())))
                .fileName();
        const QString text = QStringLiteral("Cannot play \u201C%1\u201D: %2")
                                 .arg(name, QString::fromStdString(clip.failureReason()));
        printLine(text.toStdString());
        showStatus(text);
        return;
    }

    // At frame 0 of the new clip, and at the rate the slider shows.
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
