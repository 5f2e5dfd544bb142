// The clip search on a large tree: the time from search() to the
// publication, against `find` over the same tree in the same run (warm
// cache), the longest stall of the main thread's event loop during the
// walk, how much the process grows, and how long a user's sort of 20,000
// rows holds the main thread.
//
// BENCH_SEARCH_ENTRIES sets the size of the tree (default 300000); the tree
// is generated once into the temporary folder and kept for later runs.
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <QApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QTableView>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "controller/ViewController.h"
#include "foundation/Dispatch.h"
#include "ui/Application.h"
#include "ui/ThumbnailProvider.h"

extern char** environ;

namespace {

using namespace cliploop;
using Clock = std::chrono::steady_clock;

double msSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// Nested folders, mixed names, some not ASCII; a sixth of the names hold
// "loop" and a sixth "beat", so a two-word search matches about 3%.
std::string makeTree(long entries) {
    const std::string root = (std::filesystem::temp_directory_path() /
                              ("cliploop-bench-search-" + std::to_string(entries)))
                                 .string();
    const std::string complete = root + "/.complete";
    if (std::filesystem::exists(complete)) return root;
    std::error_code ignored;
    std::filesystem::remove_all(root, ignored);
    std::filesystem::create_directories(root);
    std::fprintf(stderr, "search: generating %ld entries under %s\n", entries, root.c_str());

    const std::vector<std::string> words = {"live", "take",  "loop", "Konzert", "Übung", "映像",
                                            "beat", "drone", "clip", "intro",   "Outro", "glitch"};
    const std::vector<std::string> extensions = {".mov", ".mp4", ".avi", ".MOV", ".txt", ".mkv"};
    std::mt19937 random(7);
    long made = 0;
    // 20 x 10 x 5 folders at three depths; files at every depth.
    const long folders = 20 + 20 * 10 + 20 * 10 * 5;
    const long filesPerFolder = std::max(1L, (entries - folders) / folders);
    auto fill = [&](const std::string& folder) {
        for (long i = 0; i < filesPerFolder && made < entries; ++i, ++made) {
            const std::string name = words[random() % words.size()] + " " +
                                     words[random() % words.size()] + "_" + std::to_string(i) +
                                     extensions[random() % extensions.size()];
            const int fd =
                open((folder + "/" + name).c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
            if (fd >= 0) close(fd);
        }
    };
    for (int a = 0; a < 20; ++a) {
        const std::string first =
            root + "/set " + std::to_string(a) + " " + words[a % words.size()];
        mkdir(first.c_str(), 0755);
        ++made;
        for (int b = 0; b < 10; ++b) {
            const std::string second = first + "/night" + std::to_string(b);
            mkdir(second.c_str(), 0755);
            ++made;
            for (int c = 0; c < 5; ++c) {
                const std::string third =
                    second + "/" + words[(a + b + c) % words.size()] + std::to_string(c);
                mkdir(third.c_str(), 0755);
                ++made;
                fill(third);
            }
            fill(second);
        }
        fill(first);
    }
    std::ofstream(complete) << made << "\n";
    return root;
}

long countEntries(const std::string& root) {
    long count = 0;
    for (auto it = std::filesystem::recursive_directory_iterator(root); it != decltype(it)();
         ++it) {
        ++count;
    }
    return count;
}

// Runs find as the user would, its output thrown away; milliseconds.
double timeFind(const std::string& root, const std::string& w1, const std::string& w2) {
    const std::string p1 = "*" + w1 + "*", p2 = "*" + w2 + "*";
    const char* argv[] = {"find",     root.c_str(), "-type",    "f",    "-iname",
                          p1.c_str(), "-iname",     p2.c_str(), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    const auto start = Clock::now();
    pid_t pid = 0;
    if (posix_spawnp(&pid, "find", &actions, nullptr, const_cast<char**>(argv), environ) != 0) {
        std::fprintf(stderr, "search: cannot run find\n");
        std::exit(1);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    posix_spawn_file_actions_destroy(&actions);
    return msSince(start);
}

long residentKb(const char* field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind(field, 0) == 0) return std::atol(line.c_str() + std::strlen(field));
    }
    return 0;
}

struct Run {
    double ms;
    double stallMs;
    double publicationMs;
    int matches;
};

}  // namespace

int main(int argc, char** argv) {
    const char* sizeText = std::getenv("BENCH_SEARCH_ENTRIES");
    const long entries = sizeText ? std::atol(sizeText) : 300000;
    const std::string root = makeTree(entries);
    const std::string w1 = "loop", w2 = "BEAT";

    QApplication app(argc, argv);
    const auto mainQueue = application::installMainQueue(&app);

    QLineEdit field;
    QProgressBar indicator;
    QLabel pathField;
    QTableView table;
    auto controller = std::make_shared<ViewController>();
    controller->searchField = &field;
    controller->circularIndicator = &indicator;
    controller->searchPathField = &pathField;
    controller->arrayController =
        std::make_shared<ArrayController>(QStringList{"name", "path", "creationDate"});
    // As in the window: a picture column, its pictures asked for as the
    // shown table paints its rows, after the list has arrived.
    controller->arrayController->setPictures(new ThumbnailProvider(QSize(96, 54), 2, &table),
                                             "path");
    controller->arrayController->attach(&table);
    table.resize(800, 600);
    table.show();
    controller->searchPath = FileUrl::fromPath(root);
    field.setText(QString::fromStdString(w1 + " " + w2));

    // The event loop's heartbeat: the longest gap between two beats while
    // the walk runs is the longest the main thread was kept from its events.
    // The publication, which fills the list on the main thread by design,
    // is timed apart.
    double longestGapMs = 0;
    Clock::time_point lastBeat;
    Clock::time_point publicationStart;
    bool publishing = false;
    QEventLoop* waiting = nullptr;
    QTimer heartbeat;
    heartbeat.setTimerType(Qt::PreciseTimer);
    heartbeat.setInterval(1);
    QObject::connect(&heartbeat, &QTimer::timeout, [&] {
        const Clock::time_point now = Clock::now();
        if (!publishing) {
            longestGapMs = std::max(
                longestGapMs, std::chrono::duration<double, std::milli>(now - lastBeat).count());
        }
        lastBeat = now;
        if (waiting && indicator.isHidden()) waiting->quit();
    });
    QObject::connect(controller->arrayController.get(), &QAbstractItemModel::rowsAboutToBeInserted,
                     [&] {
                         publishing = true;
                         publicationStart = Clock::now();
                     });

    auto searchOnce = [&] {
        indicator.setHidden(true);
        QEventLoop loop;
        waiting = &loop;
        publishing = false;
        longestGapMs = 0;
        heartbeat.start();
        const auto start = Clock::now();
        controller->search();
        lastBeat = Clock::now();  // search() itself is not the walk
        loop.exec();
        const double ms = msSince(start);
        const double publicationMs = publishing ? msSince(publicationStart) : 0;
        heartbeat.stop();
        waiting = nullptr;
        return Run{ms, longestGapMs, publicationMs,
                   static_cast<int>(controller->arrayController->rowCount())};
    };

    // The same heartbeat with no search: what the machine alone costs.
    auto idleStall = [&](double ms) {
        QEventLoop loop;
        longestGapMs = 0;
        publishing = false;
        heartbeat.start();
        lastBeat = Clock::now();
        QTimer::singleShot(static_cast<int>(ms), &loop, &QEventLoop::quit);
        loop.exec();
        heartbeat.stop();
        return longestGapMs;
    };

    // Warm the cache for both.
    timeFind(root, w1, w2);
    searchOnce();
    const long rssBefore = residentKb("VmRSS:");

    constexpr int kRounds = 5;
    std::vector<double> ratios, stalls, findMs, searchMs, publicationMs;
    int matches = 0;
    for (int round = 0; round < kRounds; ++round) {
        const double f = timeFind(root, w1, w2);
        const Run run = searchOnce();
        findMs.push_back(f);
        searchMs.push_back(run.ms);
        ratios.push_back(run.ms / f);
        stalls.push_back(run.stallMs);
        publicationMs.push_back(run.publicationMs);
        matches = run.matches;
    }
    const long rssAfter = residentKb("VmRSS:");
    auto median = [](std::vector<double> v) {
        std::sort(v.begin(), v.end());
        return v[v.size() / 2];
    };
    double idle = 0;
    for (int round = 0; round < kRounds; ++round)
        idle = std::max(idle, idleStall(median(searchMs)));

    // A user's click on a column title: how long sorting 20,000 rows holds
    // the main thread, by name, by path and by date, the longest of the three.
    double sortMs = 0;
    {
        QList<QVariantMap> records;
        std::mt19937 random(11);
        for (int i = 0; i < 20000; ++i) {
            const QString name = QString("clip %1 take %2.mov").arg(random() % 5000).arg(i);
            records.append({{"name", name},
                            {"path", QByteArray("/clips/set " + QByteArray::number(i % 97) + "/" +
                                                name.toUtf8())},
                            {"creationDate", QDateTime::fromSecsSinceEpoch(random(), Qt::UTC)}});
        }
        ArrayController list({"name", "path", "creationDate"});
        list.setContent(records);
        // The work on the main thread: the call, and the rearrangement once
        // the order has been worked out.
        Clock::time_point rearranging;
        QObject::connect(&list, &QAbstractItemModel::layoutAboutToBeChanged,
                         [&] { rearranging = Clock::now(); });
        QObject::connect(&list, &QAbstractItemModel::layoutChanged,
                         [&] { sortMs = std::max(sortMs, msSince(rearranging)); });
        for (const auto& [column, order] : {std::pair{0, Qt::AscendingOrder},
                                            {1, Qt::DescendingOrder},
                                            {2, Qt::AscendingOrder}}) {
            const auto start = Clock::now();
            list.sort(column, order);
            sortMs = std::max(sortMs, msSince(start));
            while (list.isSorting()) app.processEvents(QEventLoop::WaitForMoreEvents);
        }
    }

    std::printf("BENCH search.entries %ld\n", countEntries(root));
    std::printf("BENCH search.matches %d\n", matches);
    std::printf("BENCH search.find_ms %.1f\n", median(findMs));
    std::printf("BENCH search.search_ms %.1f\n", median(searchMs));
    std::printf("BENCH search.time_over_find %.3f\n", median(ratios));
    std::printf("BENCH search.main_stall_max_ms %.2f\n",
                *std::max_element(stalls.begin(), stalls.end()));
    std::printf("BENCH search.main_stall_idle_max_ms %.2f\n", idle);
    std::printf("BENCH search.publication_ms %.2f\n", median(publicationMs));
    std::printf("BENCH search.user_sort_20000_rows_main_ms %.1f\n", sortMs);
    // Five more searches of the same words: the process should not grow.
    std::printf("BENCH search.rss_growth_kb %ld\n", rssAfter - rssBefore);
    std::printf("BENCH search.rss_peak_mb %.1f\n", residentKb("VmHWM:") / 1024.0);
    std::fflush(stdout);
    return 0;
}
