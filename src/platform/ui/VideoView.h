#pragma once
// A view that shows a player's picture, and can leave its window to fill a
// screen (full-screen mode) and come back to the same place.
//
// The picture comes from a PictureSource of the view's own, read at the
// refresh rate of the screen the view is on. Each frame is fitted with its
// aspect ratio, black around it: at the size shown it is painted straight
// from the decoded surface's memory (no pixel copy); at a size that several
// views show it is scaled once per frame for all of them (ScaledPictureCache);
// a view alone at its size scales it as it paints. The view paints only when
// a new frame is there, so a paused or idle player costs next to nothing.
//
// Full-screen mode: the view leaves its place in the window's layout for a
// borderless window covering the chosen screen. On the window's own screen
// it takes the keyboard; on another one the window keeps it (and its focused
// control). While there it offers the actions of its full-screen menu
// (setFullScreenMenu) as its context menu, Escape, in the view or in the
// window when no menu or popup is open, leaves as the menu's exit item does
// (sendExitAction), so a user with a single display can always leave, and
// the pointer hides over it after a second at rest until it moves again.
//
// Threads: main thread only.
#include <QMenu>
#include <QPointer>
#include <QVariantMap>
#include <QWidget>
#include <memory>

#include "media/MediaEngine.h"

class QScreen;
class QTimer;

namespace cliploop {

class VideoView : public QWidget {
    Q_OBJECT
  public:
    explicit VideoView(QWidget* parent = nullptr);
    ~VideoView() override;

    // Shows `player`'s picture from now on (nullptr: shows nothing). Setting
    // the same player again keeps the picture on screen.
    void setPlayer(std::shared_ptr<QueuePlayer> player);
    std::shared_ptr<QueuePlayer> player() const { return player_; }

    // Whether the view fills a screen now.
    virtual bool isInFullScreenMode() const { return fullScreen_; }
    // Leaves the window to fill `screen`. Options: "NSFullScreenModeAllScreens"
    // (only false is honoured: the one screen is taken) and
    // "NSFullScreenModeApplicationPresentationOptions" (accepted, unused).
    // False when already full screen or `screen` is null.
    virtual bool enterFullScreenMode(QScreen* screen, const QVariantMap& options);
    // Back to the same place in the window; nothing when not full screen.
    // `options` may be null.
    virtual void exitFullScreenModeWithOptions(const QVariantMap* options);
    // The screen the view fills, or null in the window.
    QScreen* fullScreenScreen() const;

    // The menu whose current actions the full-screen view offers as its
    // context menu (not owned).
    void setFullScreenMenu(QMenu* menu) { fullScreenMenu_ = menu; }
    QMenu* fullScreenMenu() const { return fullScreenMenu_; }

    // Sends what the full-screen menu's exit item sends ("exitFullscreenWithSender:",
    // by triggering that item when the menu holds it, else along the chain of
    // responders from this view).
    void sendExitAction();

    // Frames painted so far (diagnostics, tests).
    quint64 paintedFrames() const { return paintedFrames_; }
    // The frame shown now, or null.
    PixelBufferRef currentFrame() const { return frame_; }
    // The rectangle the picture is drawn into, in view coordinates.
    QRect pictureRect() const;

    QSize sizeHint() const override { return {480, 270}; }

  protected:
    void paintEvent(QPaintEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    void moveEvent(QMoveEvent* event) override;

  private:
    void refresh();
    void updateRefreshTimer();

    std::shared_ptr<QueuePlayer> player_;
    std::unique_ptr<PictureSource> source_;
    PixelBufferRef frame_;
    QTimer* refreshTimer_ = nullptr;
    quint64 paintedFrames_ = 0;

    // Full-screen mode, and the place in the window to come back to.
    struct Home;
    std::unique_ptr<Home> home_;
    bool fullScreen_ = false;
    QPointer<QMenu> fullScreenMenu_;
    // While full screen: Escape in the window, and the pointer's rest.
    QPointer<QObject> windowEscape_;
    QTimer* pointerTimer_ = nullptr;
    bool mouseTrackingBefore_ = false;
};

}  // namespace cliploop
