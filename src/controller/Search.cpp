#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QPointer>
#include <memory>
#include <mutex>
#include <optional>

#include "controller/StandardOutput.h"
#include "controller/ViewController.h"
#include "foundation/Dispatch.h"
#include "foundation/FileWalk.h"
#include "foundation/TextSearch.h"

namespace cliploop {

namespace {

using Generation = std::shared_ptr<std::atomic<uint64_t>>;

// The lines a walk prints also go to the status line, at most one waiting on
// the main queue at a time: a tree of thousands of unreadable entries must
// not flood the main thread, and the newest line is the one worth reading.
// A superseded walk's lines stay off the status line.
class WalkReport : public std::enable_shared_from_this<WalkReport> {
  public:
    WalkReport(QPointer<ViewController> controller, Generation newest, uint64_t generation)
        : controller_(controller), newest_(std::move(newest)), generation_(generation) {}

    // Walk thread.
    void line(const std::string& text) {
        printLine(text);
        std::lock_guard lock(mutex_);
        latest_ = text;
        ++count_;
        if (posted_) return;
        posted_ = true;
        dispatch::mainAsync([self = shared_from_this()] { self->show(); });
    }
    // Main thread, after the walk.
    size_t count() const {
        std::lock_guard lock(mutex_);
        return count_;
    }

  private:
    void show() {
        std::string text;
        {
            std::lock_guard lock(mutex_);
            text = latest_;
            posted_ = false;
        }
        if (controller_ && newest_->load() == generation_)
            controller_->showStatus(QString::fromStdString(text));
    }

    QPointer<ViewController> controller_;  // read on the main thread only
    const Generation newest_;
    const uint64_t generation_;
    mutable std::mutex mutex_;
    std::string latest_;
    size_t count_ = 0;
    bool posted_ = false;
};

QString clipsLine(qsizetype clips, size_t unreadable) {
    QString text = clips == 1 ? QStringLiteral("1 clip") : QStringLiteral("%1 clips").arg(clips);
    if (unreadable == 1) text += QStringLiteral("; 1 entry could not be read");
    if (unreadable > 1) text += QStringLiteral("; %1 entries could not be read").arg(unreadable);
    return text;
}

// The indicator is a progress bar: no range means it spins.
void startAnimation(QProgressBar* indicator) {
    indicator->setRange(0, 0);
}
void stopAnimation(QProgressBar* indicator) {
    indicator->setRange(0, 1);
    indicator->reset();
}

// The match rule, on a file name.
bool nameContainsEveryWord(std::string_view name, const std::vector<std::string>& conditions) {
    for (const std::string& word : conditions) {
        if (word.empty()) continue;
        if (!localizedCaseInsensitiveContains(name, word)) return false;
    }
    return true;
}

ClipRecord makeClipRecord(const FileWalk::Entry& entry,
                          const std::optional<FileWalk::Entry::Time>& birth) {
    ClipRecord record;
    record.insert(
        QStringLiteral("name"),
        QString::fromUtf8(entry.name().data(), static_cast<qsizetype>(entry.name().size())));
    record.insert(QStringLiteral("url"), QVariant::fromValue(entry.url()));
    // The exact bytes, so the path opens the very file even when the name is
    // not UTF-8; the list shows it decoded readably.
    record.insert(QStringLiteral("path"),
                  QByteArray(entry.path().data(), static_cast<qsizetype>(entry.path().size())));
    // In UTC: the walk's thread never consults the time zone, which the
    // main thread may be reading meanwhile; the list shows local time.
    const QDateTime creationDate =
        birth ? QDateTime::fromMSecsSinceEpoch(
                    std::chrono::duration_cast<std::chrono::milliseconds>(birth->time_since_epoch())
                        .count(),
                    Qt::UTC)
              : QDateTime::currentDateTimeUtc();
    record.insert(QStringLiteral("creationDate"), creationDate);
    return record;
}

// Main queue. Only the newest search publishes: a walk that ended while a
// newer search had already started would show records of words no longer
// on screen.
void publish(QPointer<ViewController> controller, std::shared_ptr<QList<ClipRecord>> results,
             ArrayController::SortDescriptor order, Generation newest, uint64_t generation,
             std::shared_ptr<WalkReport> report) {
    if (!controller || newest->load() != generation) return;
    if (controller->arrayController) {
        // The user sorted while the walk ran: the rows still arrive in the
        // order the arrow shows.
        const auto shown = controller->arrayController->sortDescriptor();
        if (shown != order) ArrayController::arrange(*results, shown);
        controller->arrayController->addObjects(*results);
        controller->arrayController->setSelectionIndexes({});
    }
    if (controller->circularIndicator) {
        stopAnimation(controller->circularIndicator);
        controller->circularIndicator->setHidden(true);
    }
    controller->showStatus(clipsLine(results->size(), report->count()));
}

// Global queue. Walks `root` (read on the main thread when the search
// started), gathering the matching files, puts them in the list's order (read
// then too) here rather than on the main thread, and queues their
// publication unless a newer search has started meanwhile; then it stops at
// once.
void ClipLibraryScan(QPointer<ViewController> controller, std::vector<std::string> words,
                     std::shared_ptr<QList<ClipRecord>> results, std::string root,
                     ArrayController::SortDescriptor order, Generation newest,
                     uint64_t generation) {
    auto superseded = [&] { return newest->load(std::memory_order_relaxed) != generation; };
    auto report = std::make_shared<WalkReport>(controller, newest, generation);
    const bool ended = FileWalk::walk(
        root,
        [&](const FileWalk::Entry& entry) {
            if (superseded()) return false;
            // An entry that vanished or cannot be read costs only itself.
            if (!entry.hasProperties()) {
                report->line(entry.propertiesError());
                return true;
            }
            if (entry.isDirectory()) return true;
            if (!nameContainsEveryWord(entry.name(), words)) return true;
            std::optional<FileWalk::Entry::Time> birth;
            std::string error;
            if (!entry.creationDate(birth, error)) {
                report->line(error);
                return true;
            }
            results->append(makeClipRecord(entry, birth));
            return true;
        },
        [&](const FileUrl& url, const std::string& description) {
            report->line("directoryEnumerator error at " + url.absoluteString() + ":  " +
                         description);
            return !superseded();
        });
    if (!ended || superseded()) return;
    ArrayController::arrange(*results, order);
    if (superseded()) return;
    dispatch::mainAsync(
        [controller, results = std::move(results), order, newest, generation, report] {
            publish(controller, results, order, newest, generation, report);
        });
}

}  // namespace

void ViewController::search() {
    if (circularIndicator) {
        startAnimation(circularIndicator);
        circularIndicator->setHidden(false);
    }
    flag = false;
    if (arrayController) arrayController->setContent({});
    auto results = std::make_shared<QList<ClipRecord>>();
    const std::string text = searchField ? searchField->text().toStdString() : std::string();
    std::vector<std::string> words = whitespaceSet.componentsSeparatedBy(text);
    // Rows arrive in the order the list shows: by name until the user sorts.
    const ArrayController::SortDescriptor order =
        arrayController ? arrayController->sortDescriptor()
                        : ArrayController::SortDescriptor{QStringLiteral("name")};

    // This search supersedes every earlier one still walking.
    const uint64_t generation = searchGeneration_->fetch_add(1) + 1;
    dispatch::globalAsync([controller = QPointer<ViewController>(this), words = std::move(words),
                           results, root = searchPath.path(), order, newest = searchGeneration_,
                           generation]() mutable {
        ClipLibraryScan(controller, std::move(words), std::move(results), std::move(root), order,
                        newest, generation);
    });
}

bool ViewController::myIsContainsString(const FileUrl& target,
                                        const std::vector<std::string>& conditions) {
    return nameContainsEveryWord(target.lastPathComponent(), conditions);
}

}  // namespace cliploop
