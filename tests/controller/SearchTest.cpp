// ctest-labels: concurrency
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <sys/syscall.h>
#include <QDateTime>
#include <QTableView>

#include "support/AppFixture.h"

namespace cliploop {
namespace {

// Root passes permission checks by its capabilities: given up by the main
// thread before the first walk, so the global queue's workers, made later,
// meet folder modes as anyone else does.
struct PlainPermissions : ::testing::Environment {
    void SetUp() override {
        if (geteuid() != 0) return;
        __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
        __user_cap_data_struct data[2]{};
        if (syscall(SYS_capget, &header, data) != 0) return;
        data[0].effective &= ~((1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH));
        applies = syscall(SYS_capset, &header, data) == 0;
    }
    static inline bool applies = geteuid() != 0;
};
const auto* const kPlainPermissions = ::testing::AddGlobalTestEnvironment(new PlainPermissions);

class SearchTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { apptest::application(); }
    void SetUp() override {
        controller = std::make_shared<ViewController>();
        controller->searchField = &field;
        controller->circularIndicator = &indicator;
        controller->arrayController =
            std::make_shared<ArrayController>(QStringList{"name", "path", "creationDate"});
        controller->arrayController->attach(&table);
        controller->searchPath = FileUrl::fromPath(root);
        indicator.setHidden(true);
    }
    void TearDown() override {
        for (const std::string& folder : locked) chmod(at(folder).c_str(), 0755);
    }

    // Paths relative to the root (bytes); a trailing slash makes a folder.
    std::string at(const std::string& relative) const { return root + "/" + relative; }
    void make(std::initializer_list<std::string> paths) const {
        for (const std::string& p : paths) {
            if (p.back() == '/')
                ASSERT_EQ(mkdir(at(p).c_str(), 0755), 0) << p;
            else
                ASSERT_TRUE(std::ofstream(at(p)) << "not a clip") << p;
        }
    }
    void lock(const std::string& relative, mode_t mode) {
        locked.push_back(relative);
        ASSERT_EQ(chmod(at(relative).c_str(), mode), 0);
    }
    // Runs one search and waits for its publication.
    QList<ClipRecord> search(const QString& text) {
        field.setText(text);
        controller->search();
        EXPECT_TRUE(apptest::eventually([&] { return indicator.isHidden(); }));
        return controller->arrayController->arrangedObjects();
    }
    static QStringList sorted(QStringList list) {
        list.sort();
        return list;
    }
    QStringList found(const QString& text, const char* key = "name") {
        QStringList result;
        for (const ClipRecord& record : search(text)) result << record.value(key).toString();
        return sorted(result);
    }

    QTemporaryDir folder;
    const std::string root = folder.path().toStdString();
    std::vector<std::string> locked;
    QWidget window;  // never shown: nothing here needs painting
    QLineEdit field{&window};
    QProgressBar indicator{&window};
    QTableView table{&window};
    std::shared_ptr<ViewController> controller;
};

TEST_F(SearchTest, ListsEveryVisibleFileWhoseNameHoldsEveryWord) {
    make({"my_clip.mov", "clip.avi", "clip notes.txt", "concert/", "concert/a.mov", "clip folder/",
          "clip folder/Clip Two.MOV", ".cache/", ".cache/c.mov", "concert/.clip.mov",
          "Ünïcode Loop.mov", "映像クリップ.mp4", "gig \xE9\xFF.mov"});
    const QString odd = QString::fromUtf8("gig \xEF\xBF\xBD\xEF\xBF\xBD.mov");
    const QStringList every = {"my_clip.mov",  "clip.avi",         "clip notes.txt",   "a.mov",
                               "Clip Two.MOV", "Ünïcode Loop.mov", "映像クリップ.mp4", odd};
    // At once: the list emptied, flag lowered, the indicator spinning.
    controller->arrayController->setContent({{{"name", "old"}}});
    controller->arrayController->setSelectionIndexes({0});
    controller->flag = true;
    const QDateTime before = QDateTime::currentDateTime().addSecs(-5);
    controller->search();
    EXPECT_FALSE(controller->flag);
    EXPECT_EQ(controller->arrayController->rowCount(), 0);
    EXPECT_FALSE(indicator.isHidden());
    EXPECT_EQ(indicator.maximum(), 0);

    ASSERT_TRUE(apptest::eventually([&] { return indicator.isHidden(); }));
    EXPECT_NE(indicator.maximum(), 0);
    EXPECT_TRUE(controller->arrayController->selectedObjects().isEmpty());
    const QList<ClipRecord> records = controller->arrayController->arrangedObjects();
    ASSERT_EQ(records.size(), every.size());
    for (const ClipRecord& record : records) {
        EXPECT_EQ(record.keys(), (QStringList{"creationDate", "name", "path", "url"}));
        const FileUrl url = record.value("url").value<FileUrl>();
        EXPECT_TRUE(std::ifstream(url.path()).good()) << url.path();  // even if not UTF-8
        EXPECT_TRUE(std::ifstream(record.value("path").toByteArray().toStdString()).good());
        EXPECT_TRUE(record.value("path").toString().endsWith(record.value("name").toString()));
        EXPECT_EQ(url.path().rfind(root + "/", 0), 0u);
        const QDateTime created = record.value("creationDate").toDateTime();
        EXPECT_TRUE(created >= before && created <= before.addSecs(10));
    }

    const std::pair<QString, QStringList> cases[] = {
        {" \t  ", every},
        {"Clip  MOV", {"Clip Two.MOV", "my_clip.mov"}},
        {"mov clip MOV", {"Clip Two.MOV", "my_clip.mov"}},
        {"clip", {"Clip Two.MOV", "clip notes.txt", "clip.avi", "my_clip.mov"}},
        {"concert", {}},
        {"ünï loop", {"Ünïcode Loop.mov"}},
        {"クリップ", {"映像クリップ.mp4"}},
        {"GIG", {odd}},
    };
    for (const auto& [text, names] : cases)
        EXPECT_EQ(found(text), sorted(names)) << text.toStdString();
    // A line break is no separator: it stays in its word.
    const auto words = CharacterSet::whitespaces().componentsSeparatedBy("a\nb");
    EXPECT_TRUE(ViewController::myIsContainsString(FileUrl::fromPath("/x/a\nb.mov"), words));
    EXPECT_FALSE(ViewController::myIsContainsString(FileUrl::fromPath("/x/a b.mov"), words));
}

TEST_F(SearchTest, FilesWithoutABirthTimeAreDatedWhenTheRecordIsBuilt) {
    controller->searchPath = FileUrl::fromPath("/proc/self/fdinfo");  // keeps no birth times
    const QDateTime before = QDateTime::currentDateTime();
    const QList<ClipRecord> records = search("");
    const QDateTime after = QDateTime::currentDateTime();
    ASSERT_FALSE(records.isEmpty());
    for (const ClipRecord& record : records) {
        const QDateTime created = record.value("creationDate").toDateTime();
        EXPECT_TRUE(created >= before && created <= after);
    }
}

TEST_F(SearchTest, UnreadableFoldersAndEntriesPrintALineEachAndTheWalkGoesOn) {
    if (!PlainPermissions::applies) GTEST_SKIP() << "folder modes do not apply to this process";
    make({"locked/", "locked/clip.mov", "listed/", "listed/clip.mov", "open/", "open/clip.mov",
          "clip.mov"});
    lock("locked", 0);
    lock("listed", 0444);  // listed, but nothing about its entries can be read

    testing::internal::CaptureStdout();
    EXPECT_EQ(found("clip", "path"), sorted({QString::fromStdString(at("clip.mov")),
                                             QString::fromStdString(at("open/clip.mov"))}));
    const std::string printed = "\n" + testing::internal::GetCapturedStdout();
    EXPECT_EQ(std::count(printed.begin(), printed.end(), '\n'), 3) << printed;  // two lines
    const std::string folderLine = "\ndirectoryEnumerator error at " +
                                   FileUrl::fromPath(at("locked")).absoluteString() + ":  ";
    EXPECT_NE(printed.find(folderLine), std::string::npos) << printed;
    EXPECT_EQ(printed.find("directoryEnumerator"), printed.rfind("directoryEnumerator"));
    EXPECT_NE(printed.find("Permission denied\n"), std::string::npos) << printed;
    EXPECT_NE(printed.find(at("listed/clip.mov")), std::string::npos) << printed;
}

TEST_F(SearchTest, OnlyTheNewestSearchPublishesAndTheIndicatorWaitsForIt) {
    for (int folder = 0; folder < 20; ++folder) {
        const std::string name = "f" + std::to_string(folder) + "/";
        make({name});
        for (int i = 0; i < 20; ++i) {
            make({name + "alpha" + std::to_string(i) + ".mov",
                  name + "beta" + std::to_string(i) + ".mov"});
        }
    }
    int insertions = 0;
    bool hiddenBeforeInsertion = false;
    QObject::connect(controller->arrayController.get(), &QAbstractItemModel::rowsInserted, [&] {
        ++insertions;
        hiddenBeforeInsertion |= indicator.isHidden();
    });
    // The walks of the first two may end before or after the last one starts.
    for (const char* text : {"alpha", "alpha 1"}) {
        field.setText(text);
        controller->search();
    }
    search("BETA 1");
    apptest::settle();
    EXPECT_EQ(insertions, 1);
    EXPECT_FALSE(hiddenBeforeInsertion);
    EXPECT_TRUE(indicator.isHidden());
    QStringList names;
    for (const ClipRecord& record : controller->arrayController->arrangedObjects())
        names << record.value("name").toString();
    // beta1 and beta10..beta19, in each of the 20 folders, once each.
    EXPECT_EQ(names.size(), 20 * 11);
    names.removeDuplicates();
    EXPECT_EQ(names.size(), 11);
    for (const QString& name : names) EXPECT_TRUE(name.startsWith("beta1")) << name.toStdString();
}

TEST_F(SearchTest, TheWalkKeepsItsFolderAndAMissingOnePrintsItsLine) {
    make({"first/", "first/clip.mov"});
    controller->searchPath = FileUrl::fromPath(at("first"));
    field.setText("clip");
    controller->search();
    controller->searchPath = FileUrl::fromPath(at("gone"));  // as a folder choice would
    ASSERT_TRUE(apptest::eventually([&] { return indicator.isHidden(); }));
    EXPECT_EQ(controller->arrayController->rowCount(), 1);

    testing::internal::CaptureStdout();
    EXPECT_TRUE(search("").isEmpty());
    const std::string printed = testing::internal::GetCapturedStdout();
    EXPECT_EQ(printed.rfind("directoryEnumerator error at file://" + at("gone") + ":  ", 0), 0u)
        << printed;
}

}  // namespace
}  // namespace cliploop
