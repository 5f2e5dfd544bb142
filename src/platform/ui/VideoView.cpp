#include "VideoView.h"

#include <QApplication>
#include <QBoxLayout>
#include <QContextMenuEvent>
#include <QGridLayout>
#include <QMenu>
#include <QPainter>
#include <QScreen>
#include <QShortcut>
#include <QSplitter>
#include <QTimer>
#include <cmath>

#include "ActionDispatch.h"
#include "foundation/HostClock.h"
#include "ui/ScaledPicture.h"

namespace cliploop {

namespace {

constexpr const char* kExitFullScreenAction = "exitFullscreenWithSender:";
// How long the pointer rests over the full-screen output before it hides.
constexpr int kPointerRestMs = 1000;

// Screens that report nonsense (0 Hz on some virtual outputs) get 60 Hz.
int refreshIntervalMs(const QScreen* screen) {
    double hz = screen ? screen->refreshRate() : 60.0;
    if (!(hz >= 20.0 && hz <= 500.0)) hz = 60.0;
    return std::max(1, int(std::lround(1000.0 / hz)));
}

}  // namespace

// Where the view sat in its window, to come back to exactly there.
struct VideoView::Home {
    enum class Kind { Plain, Box, Grid, Splitter };
    QPointer<QWidget> parent;
    Kind kind = Kind::Plain;
    int index = -1;
    int stretch = 0;
    int row = 0, column = 0, rowSpan = 1, columnSpan = 1;
    Qt::Alignment alignment;
    QList<int> splitterSizes;
    QRect geometry;
    Qt::FocusPolicy focusPolicy = Qt::ClickFocus;
    QPointer<QScreen> screen;
};

VideoView::VideoView(QWidget* parent) : QWidget(parent) {
    setAttribute(Qt::WA_OpaquePaintEvent);
    setFocusPolicy(Qt::ClickFocus);
    setMinimumSize(160, 90);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
    refreshTimer_ = new QTimer(this);
    refreshTimer_->setTimerType(Qt::PreciseTimer);
    connect(refreshTimer_, &QTimer::timeout, this, &VideoView::refresh);
    pointerTimer_ = new QTimer(this);
    pointerTimer_->setSingleShot(true);
    pointerTimer_->setInterval(kPointerRestMs);
    connect(pointerTimer_, &QTimer::timeout, this, [this] {
        if (fullScreen_) setCursor(Qt::BlankCursor);
    });
}

VideoView::~VideoView() = default;

void VideoView::setPlayer(std::shared_ptr<QueuePlayer> player) {
    if (player == player_) return;
    player_ = std::move(player);
    source_ = player_ ? std::make_unique<PictureSource>(player_) : nullptr;
    frame_.reset();
    updateRefreshTimer();
    update();
}

QScreen* VideoView::fullScreenScreen() const {
    return fullScreen_ && home_ ? home_->screen.data() : nullptr;
}

QRect VideoView::pictureRect() const {
    if (!frame_ || frame_->width() <= 0 || frame_->height() <= 0) return {};
    const QSize fitted =
        QSize(frame_->width(), frame_->height()).scaled(size(), Qt::KeepAspectRatio);
    return QRect(QPoint((width() - fitted.width()) / 2, (height() - fitted.height()) / 2), fitted);
}

void VideoView::refresh() {
    if (!source_) return;
    PixelBufferRef frame = source_->frameForHostTime(hostTime());
    if (frame == frame_) return;
    frame_ = std::move(frame);
    update();
}

void VideoView::updateRefreshTimer() {
    if (source_ && isVisible()) {
        const int interval = refreshIntervalMs(screen());
        if (!refreshTimer_->isActive() || refreshTimer_->interval() != interval)
            refreshTimer_->start(interval);
    } else {
        refreshTimer_->stop();
    }
}

void VideoView::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    const QRect picture = pictureRect();
    if (picture.isEmpty()) {
        ScaledPictureCache::shared().showAt(this, {});
        painter.fillRect(rect(), Qt::black);
        return;
    }
    // Only the bars around the picture; the picture covers the rest, so the
    // backing store never shows a black flash between two frames.
    const QRegion bars = QRegion(rect()).subtracted(picture);
    for (const QRect& bar : bars) painter.fillRect(bar, Qt::black);
    // A frame of the size shown is copied from the decoded surface's memory
    // itself; a size that other views show too is scaled once per frame for
    // all of them, and each copies that picture.
    const qreal ratio = devicePixelRatioF();
    const QSize shown = (QSizeF(picture.size()) * ratio).toSize();
    const QSize frameSize(frame_->width(), frame_->height());
    ScaledPictureCache& cache = ScaledPictureCache::shared();
    cache.showAt(this, shown);
    const bool shared = shown != frameSize && cache.viewsAt(shown) > 1;
    const QImage scaled = shared ? cache.picture(frame_, shown) : QImage();
    if (!scaled.isNull()) {
        const QRectF target(picture.topLeft(), QSizeF(shown) / ratio);
        // With a fractional ratio the rounded picture can fall short of the
        // rectangle by a fraction of a pixel; that edge is black, not stale.
        if (target.size() != QSizeF(picture.size())) painter.fillRect(picture, Qt::black);
        painter.drawImage(target, scaled);
    } else {
        // BGRA bytes are Format_RGB32 on a little-endian machine; frame_
        // keeps the surface alive while painting. A size no other view
        // shows, or one too large to keep, is scaled as it is painted.
        const QImage surface(frame_->baseAddress(), frame_->width(), frame_->height(),
                             frame_->bytesPerRow(), QImage::Format_RGB32);
        painter.setRenderHint(QPainter::SmoothPixmapTransform, shown != frameSize);
        painter.drawImage(picture, surface);
    }
    ++paintedFrames_;
}

void VideoView::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    updateRefreshTimer();
}

void VideoView::hideEvent(QHideEvent* event) {
    QWidget::hideEvent(event);
    updateRefreshTimer();
}

void VideoView::moveEvent(QMoveEvent* event) {
    QWidget::moveEvent(event);
    // Moving may have put the view on a screen of another refresh rate.
    updateRefreshTimer();
}

bool VideoView::enterFullScreenMode(QScreen* screen, const QVariantMap& options) {
    // "NSFullScreenModeAllScreens" true would also blank the other screens;
    // the one output on one screen is all this view offers.
    (void)options;
    if (fullScreen_ || !screen) return false;

    auto home = std::make_unique<Home>();
    QWidget* parent = parentWidget();
    home->parent = parent;
    home->geometry = geometry();
    home->focusPolicy = focusPolicy();
    home->screen = screen;
    if (auto* splitter = qobject_cast<QSplitter*>(parent)) {
        home->kind = Home::Kind::Splitter;
        home->index = splitter->indexOf(this);
        home->splitterSizes = splitter->sizes();
    } else if (parent && parent->layout()) {
        QLayout* layout = parent->layout();
        const int index = layout->indexOf(this);
        if (auto* box = qobject_cast<QBoxLayout*>(layout); box && index >= 0) {
            home->kind = Home::Kind::Box;
            home->index = index;
            home->stretch = box->stretch(index);
            home->alignment = box->itemAt(index)->alignment();
        } else if (auto* grid = qobject_cast<QGridLayout*>(layout); grid && index >= 0) {
            home->kind = Home::Kind::Grid;
            grid->getItemPosition(index, &home->row, &home->column, &home->rowSpan,
                                  &home->columnSpan);
            home->alignment = grid->itemAt(index)->alignment();
        }
    }
    home_ = std::move(home);

    // On another display than the window's, the output is for the audience:
    // the keyboard stays with the window, where the performer types the next
    // search. Covering the window's own display, the output takes it.
    QWidget* window = parent ? parent->window() : nullptr;
    const bool takesKeyboard = !window || window->screen() == screen;
    const QPointer<QWidget> focused = window ? window->focusWidget() : nullptr;
    const bool windowActive = window && window->isActiveWindow();

    // Leaving the parent takes the view out of its layout.
    setParent(nullptr, Qt::Window | Qt::FramelessWindowHint);
    actions::setNextResponder(this, parent);
    setFocusPolicy(Qt::StrongFocus);
    setAttribute(Qt::WA_ShowWithoutActivating, !takesKeyboard);
    setScreen(screen);
    setGeometry(screen->geometry());
    fullScreen_ = true;
    showFullScreen();
    raise();
    if (takesKeyboard) {
        activateWindow();
        setFocus(Qt::OtherFocusReason);
    } else if (windowActive) {
        window->activateWindow();
        if (focused && focused != this) focused->setFocus(Qt::OtherFocusReason);
    }
    if (window) {
        // Escape in the window leaves too, unless a menu or popup is open
        // (Escape is then theirs).
        auto* escape = new QShortcut(QKeySequence(Qt::Key_Escape), window);
        escape->setContext(Qt::WindowShortcut);
        connect(escape, &QShortcut::activated, this, [this] {
            if (!QApplication::activePopupWidget()) sendExitAction();
        });
        windowEscape_ = escape;
    }
    // The pointer hides over the output once it rests.
    mouseTrackingBefore_ = hasMouseTracking();
    setMouseTracking(true);
    pointerTimer_->start();
    updateRefreshTimer();
    return true;
}

void VideoView::exitFullScreenModeWithOptions(const QVariantMap* options) {
    (void)options;
    if (!fullScreen_) return;
    fullScreen_ = false;
    // Without it, a window system with no window manager keeps the
    // full-screen state across the reparenting.
    showNormal();
    std::unique_ptr<Home> home = std::move(home_);
    actions::setNextResponder(this, nullptr);
    setFocusPolicy(home->focusPolicy);
    setAttribute(Qt::WA_ShowWithoutActivating, false);
    delete windowEscape_.data();
    pointerTimer_->stop();
    unsetCursor();
    setMouseTracking(mouseTrackingBefore_);
    QWidget* parent = home->parent.data();
    if (!parent) {
        // The window went away meanwhile: stay a plain window.
        updateRefreshTimer();
        return;
    }
    hide();
    setParent(parent, Qt::Widget);
    switch (home->kind) {
        case Home::Kind::Splitter: {
            auto* splitter = static_cast<QSplitter*>(parent);
            splitter->insertWidget(home->index, this);
            splitter->setSizes(home->splitterSizes);
            break;
        }
        case Home::Kind::Box:
            if (auto* box = qobject_cast<QBoxLayout*>(parent->layout()))
                box->insertWidget(home->index, this, home->stretch, home->alignment);
            break;
        case Home::Kind::Grid:
            if (auto* grid = qobject_cast<QGridLayout*>(parent->layout()))
                grid->addWidget(this, home->row, home->column, home->rowSpan, home->columnSpan,
                                home->alignment);
            break;
        case Home::Kind::Plain:
            setGeometry(home->geometry);
            break;
    }
    show();
    updateRefreshTimer();
    if (QWidget* window = parent->window()) window->activateWindow();
}

void VideoView::contextMenuEvent(QContextMenuEvent* event) {
    if (!fullScreen_ || !fullScreenMenu_) {
        QWidget::contextMenuEvent(event);
        return;
    }
    // The menu bar is covered now; its screen menu comes here instead.
    const QList<QAction*> items = fullScreenMenu_->actions();
    if (items.isEmpty()) return;
    QMenu::exec(items, event->globalPos(), nullptr, this);
}

void VideoView::keyPressEvent(QKeyEvent* event) {
    if (!fullScreen_ || event->key() != Qt::Key_Escape) {
        QWidget::keyPressEvent(event);
        return;
    }
    sendExitAction();
}

void VideoView::mouseMoveEvent(QMouseEvent* event) {
    if (fullScreen_) {
        unsetCursor();
        pointerTimer_->start();
    }
    QWidget::mouseMoveEvent(event);
}

void VideoView::sendExitAction() {
    // As if the exit item were chosen, also while the menu lists the screens.
    if (fullScreenMenu_) {
        for (QAction* item : fullScreenMenu_->actions()) {
            if (actions::actionOf(item) == kExitFullScreenAction) {
                item->trigger();
                return;
            }
        }
    }
    actions::sendAction(kExitFullScreenAction, nullptr, this);
}

}  // namespace cliploop
