#pragma once
// The main window's controller. It owns every long-lived object: the clip
// list, the queue player and its video output, the graphics context, the
// shared texture, the frame server "Video" and the frame pump's timer.
//
// Threads: everything runs on the main thread except videoCapturing (the
// timer's worker thread, one tick at a time), the folder walk (the global
// queue) and playerItemDidReachEnd (the engine's playback thread). Two fields
// cross threads: videoOutput (exchanged atomically) and searchPath (copied on
// the main thread when a search starts).
//
// One concern per source file:
//   ViewController.cpp  fields, start-up (viewDidLoad), action dispatch
//   FullScreen.cpp      fullScreen, exitFullscreen
//   FramePump.cpp       videoCapturing
//   Playback.cpp        selectVideoWithLoop, playerItemDidReachEnd, sliderRate
//   Search.cpp          search, myIsContainsString, ClipLibraryScan, publication
//   SearchFolder.cpp    selectButton, searchButton, enterSearchField
//   Selection.cpp       tableViewShouldSelectRow, tableViewSelectionDidChange, dragAndDrop
//   Status.cpp          showStatus
//   Teardown.cpp        tearDown
#include <QAction>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QProgressBar>
#include <QSlider>
#include <QTableView>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "controller/ClipRecord.h"
#include "foundation/AtomicSharedPtr.h"
#include "foundation/CharacterSet.h"
#include "foundation/FileUrl.h"
#include "foundation/NotificationCenter.h"
#include "foundation/RepeatingTimer.h"
#include "media/ClipLoop.h"
#include "media/MediaEngine.h"
#include "pipewiresource/PipeWirePublisher.h"
#include "pump/FramePump.h"
#include "sharing/FrameSharing.h"
#include "ui/ArrayController.h"
#include "ui/VideoView.h"
#include "ui/ViewControllerBase.h"

namespace cliploop {

class ViewController : public ViewControllerBase,
                       public std::enable_shared_from_this<ViewController> {
    Q_OBJECT
  public:
    explicit ViewController(QObject* parent = nullptr);
    ~ViewController() override;

    // --- Fields -------------------------------------------------------------
    const CharacterSet whitespaceSet = CharacterSet::whitespaces();
    std::shared_ptr<RepeatingTimer> timer;
    std::shared_ptr<QueuePlayer> player;
    AtomicSharedPtr<PlayerItemVideoOutput> videoOutput;
    uint32_t texture = 0;
    FrameSize size{512, 512};
    std::shared_ptr<FrameServer> syphonServer;
    std::shared_ptr<GraphicsContext> context;
    // Set when the user asks for a row, cleared when its clip starts or a
    // search begins: only a change of selection the user asked for plays.
    bool flag = false;
    FileUrl searchPath = FileUrl::fromPath("/");
    const std::string notificationFullscreen = "addMenuExitFullscreen";
    const std::string notificationExitFullscreen = "fullScreenMenuUpdate";
    const std::string notificationDragAndDrop = "DragAndDropNotification";
    // The window's widgets, owned by the window; the second player view is
    // owned here while it is full screen, outside the window (see
    // ~ViewController).
    QPointer<VideoView> playerView;
    QPointer<VideoView> playerView2;
    QPointer<QLineEdit> searchField;
    std::shared_ptr<ArrayController> arrayController;  // the controller's own
    QPointer<QProgressBar> circularIndicator;
    QPointer<QLabel> rateField;
    QPointer<QLabel> searchPathField;
    // The frames of "Video", also as the PipeWire node "cliploop.Video".
    std::shared_ptr<PipeWirePublisher> pipeWireSource;

    // --- Start-up -----------------------------------------------------------
    void viewDidLoad() override;
    bool performAction(std::string_view action, QObject* sender) override;

    // --- Full-screen output -----------------------------------------------
    void fullScreen(QAction* sender);
    void exitFullscreen(QAction* sender);

    // --- Frame pump -----------------------------------------------------------
    void videoCapturing();

    // --- Looping playback and rate ---------------------------------------
    void selectVideoWithLoop(const FileUrl& url);
    void playerItemDidReachEnd(const Notification& notification);
    void sliderRate(QSlider* sender);

    // --- Clip search and search folder -------------------------------------
    void search();
    static bool myIsContainsString(const FileUrl& target,
                                   const std::vector<std::string>& conditions);
    void selectButton(QObject* sender);
    void searchButton(QObject* sender);
    void enterSearchField(QObject* sender);

    // --- Clip selection and file drops -------------------------------------
    bool tableViewShouldSelectRow(QTableView* tableView, int row);
    void tableViewSelectionDidChange(const Notification& notification);
    void dragAndDrop(const Notification& notification);

    // --- Status line --------------------------------------------------------
    // Shows `text` for a few seconds at the bottom of the main window, never
    // as a dialog; what the program also prints goes here too. Any thread:
    // from another one the line follows on the main thread.
    void showStatus(const QString& text);

    // --- Termination ----------------------------------------------------------
    // Main thread, when the application is about to end: cancels the frame
    // pump's timer (waiting for a tick that runs), removes this controller's
    // observers, stops the player and any running search, and withdraws the
    // frame server. Idempotent; the fields stay set.
    void tearDown();

  private:
    // The clip loop over `player` and `videoOutput`, made at start-up: clip
    // starts on the main thread, turns on the engine's playback thread.
    std::unique_ptr<ClipLoop> loop_;
    // Reads `videoOutput` on the timer's thread.
    FramePump pump_{videoOutput};
    // The newest search; older walks see they are superseded and stop.
    std::shared_ptr<std::atomic<uint64_t>> searchGeneration_ =
        std::make_shared<std::atomic<uint64_t>>(0);

    // --- Playback (Playback.cpp) -------------------------------------------
    // The second half of a clip start, on the main thread once the chosen
    // clip's first frame is decoded or the file proved unplayable.
    void startChosenClip(const PreparedClip& clip);
    // The rate the slider shows (main thread): a clip start plays at it, so
    // the rate text always tells the truth. The slider starts at 1.0.
    float sliderRateValue_ = 1.0f;
};

}  // namespace cliploop
