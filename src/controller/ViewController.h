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

#include "controller/AtomicSharedPtr.h"
#include "controller/ClipRecord.h"
#include "foundation/CharacterSet.h"
#include "foundation/FileUrl.h"
#include "foundation/NotificationCenter.h"
#include "foundation/RepeatingTimer.h"
#include "media/MediaEngine.h"
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

    // --- Fields, in declaration order -------------------------------------
    const CharacterSet whitespaceSet = CharacterSet::whitespaces();         // 1
    std::shared_ptr<RepeatingTimer> timer;                                  // 2
    std::shared_ptr<QueuePlayer> player;                                    // 3
    AtomicSharedPtr<PlayerItemVideoOutput> videoOutput;                     // 4
    uint32_t texture = 0;                                                   // 5
    FrameSize size{512, 512};                                               // 6
    std::shared_ptr<FrameServer> syphonServer;                              // 7
    std::shared_ptr<GraphicsContext> context;                               // 8
    bool flag = false;                                                      // 9
    FileUrl searchPath = FileUrl::fromPath("/");                            // 10
    const std::string notificationFullscreen = "addMenuExitFullscreen";     // 11
    const std::string notificationExitFullscreen = "fullScreenMenuUpdate";  // 12
    const std::string notificationDragAndDrop = "DragAndDropNotification";  // 13
    QPointer<VideoView> playerView;                                         // 14, weak
    QPointer<VideoView> playerView2;                   // 15, strong (see ~ViewController)
    QPointer<QLineEdit> searchField;                   // 16, weak
    std::shared_ptr<ArrayController> arrayController;  // 17, strong
    QPointer<QProgressBar> circularIndicator;          // 18, weak
    QPointer<QLabel> rateField;                        // 19, weak
    QPointer<QLabel> searchPathField;                  // 20, weak

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

    // --- Termination ----------------------------------------------------------
    // Main thread, when the application is about to end: cancels the frame
    // pump's timer (waiting for a tick that runs), removes this controller's
    // observers, stops the player and any running search, and withdraws the
    // frame server. Idempotent; the fields stay set.
    void tearDown();

  private:
    // A loop turn and a clip start both rebuild the player's queue; they
    // never overlap.
    std::recursive_mutex queueMutex_;
    // The newest search; older walks see they are superseded and stop.
    std::shared_ptr<std::atomic<uint64_t>> searchGeneration_ =
        std::make_shared<std::atomic<uint64_t>>(0);

    // --- Playback (Playback.cpp) -------------------------------------------
    // The rate the slider shows (main thread): a clip start plays at it, so
    // the rate text always tells the truth. The slider starts at 1.0.
    float sliderRateValue_ = 1.0f;
};

}  // namespace cliploop
