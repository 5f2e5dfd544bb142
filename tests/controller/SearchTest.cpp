// ctest-labels: concurrency
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <sys/syscall.h>
#include <QDateTime>
#include <QTableView>

#include "support/AppFixture.h"

namespace cliploop {
namespace {

// Root passes permission checks by its capabilities; the walks of these
// tests should meet folder modes as anyone else does. Given up by the main
// thread before the first walk, so the global queue's workers, made from it
// later, start without them too.
class PlainPermissions : public ::testing::Environment {
  public:
    void SetUp() override {
        if (geteuid() != 0) return;
        __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
        __user_cap_data_struct data[2]{};
        if (syscall(SYS_capget, &header, data) != 0) return;
        data[0].effective &= ~((1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH));
        dropped = syscall(SYS_capset, &header, data) == 0;
    }
    static inline bool dropped = false;
};
const auto* const kPlainPermissions = ::testing::AddGlobalTestEnvironment(new PlainPermissions);

bool permissionsApply() {
    return geteuid() != 0 || PlainPermissions::dropped;
}

// A folder tree under a fresh temporary folder; paths are bytes relative to it.
class Tree {
  public:
    Tree() {
        std::string pattern = (std::filesystem::temp_directory_path() / "search-XXXXXX").string();
        root_ = mkdtemp(pattern.data());
    }
    ~Tree() {
        for (const std::string& folder : locked_) chmod(at(folder).c_str(), 0755);
        std::error_code ignored;
        std::filesystem::remove_all(root_, ignored);
    }
    const std::string& root() const { return root_; }
    std::string at(const std::string& relative) const { return root_ + "/" + relative; }
    void folder(const std::string& relative) { ASSERT_EQ(mkdir(at(relative).c_str(), 0755), 0); }
    void file(const std::string& relative) {
        std::ofstream(at(relative)) << "not a clip";
        ASSERT_TRUE(std::filesystem::exists(at(relative))) << relative;
    }
    void lock(const std::string& relative, mode_t mode) {
        locked_.push_back(relative);
        ASSERT_EQ(chmod(at(relative).c_str(), mode), 0);
    }

  private:
    std::string root_;
    std::vector<std::string> locked_;
};

class SearchTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { apptest::application(); }
    void SetUp() override {
        controller = std::make_shared<ViewController>();
        controller->searchField = &field;
        controller->circularIndicator = &indicator;
        controller->searchPathField = &pathField;
        controller->arrayController =
            std::make_shared<ArrayController>(QStringList{"name", "path", "creationDate"});
        controller->arrayController->attach(&table);
        controller->searchPath = FileUrl::fromPath(tree.root());
        indicator.setHidden(true);
    }

    // Runs one search and waits for its publication.
    QList<ClipRecord> search(const QString& text) {
        field.setText(text);
        controller->search();
        EXPECT_TRUE(apptest::eventually([&] { return indicator.isHidden(); }));
        return controller->arrayController->arrangedObjects();
    }
    QStringList names(const QString& text) {
        QStringList result;
        for (const ClipRecord& record : search(text)) result << record.value("name").toString();
        result.sort();
        return result;
    }

    Tree tree;
    QWidget window;  // never shown: nothing here needs painting
    QLineEdit field{&window};
    QProgressBar indicator{&window};
    QLabel pathField{&window};
    QTableView table{&window};
    std::shared_ptr<ViewController> controller;
};

TEST_F(SearchTest, StartingASearchEmptiesTheListAndLowersFlagAtOnce) {
    controller->arrayController->setContent({{{"name", "old"}}});
    controller->flag = true;
    field.setText("anything");
    controller->search();
    EXPECT_FALSE(controller->flag);
    EXPECT_EQ(controller->arrayController->rowCount(), 0);
    EXPECT_FALSE(indicator.isHidden());
    EXPECT_EQ(indicator.maximum(), 0);  // spinning
    EXPECT_TRUE(apptest::eventually([&] { return indicator.isHidden(); }));
    EXPECT_NE(indicator.maximum(), 0);
}

TEST_F(SearchTest, AnEmptyTextListsEveryVisibleFileAsAFullRecord) {
    tree.file("a.mov");
    tree.file("notes.txt");
    tree.folder("sub");
    tree.file("sub/b.avi");
    tree.file("sub/.hidden.mov");
    tree.folder(".cache");
    tree.file(".cache/c.mov");
    tree.folder("empty folder");
    const QDateTime before = QDateTime::currentDateTime().addSecs(-5);
    controller->flag = true;

    const QList<ClipRecord> records = search("");
    const QDateTime after = QDateTime::currentDateTime().addSecs(5);
    ASSERT_EQ(records.size(), 3);
    for (const ClipRecord& record : records) {
        EXPECT_EQ(record.keys(), (QStringList{"creationDate", "name", "path", "url"}));
        const FileUrl url = record.value("url").value<FileUrl>();
        EXPECT_EQ(QString::fromStdString(url.path()), record.value("path").toString());
        EXPECT_EQ(QString::fromStdString(url.lastPathComponent()), record.value("name").toString());
        EXPECT_TRUE(std::filesystem::is_regular_file(url.path()));
        const QDateTime created = record.value("creationDate").toDateTime();
        EXPECT_TRUE(created >= before && created <= after) << created.toString().toStdString();
    }
    EXPECT_EQ(records[0].value("url").value<FileUrl>().path().rfind(tree.root() + "/", 0), 0u);
    EXPECT_TRUE(controller->arrayController->selectedObjects().isEmpty());
    EXPECT_FALSE(controller->flag);

    // Spaces and tabs alone are words of nothing.
    EXPECT_EQ(names(" \t  "), (QStringList{"a.mov", "b.avi", "notes.txt"}));
}

TEST_F(SearchTest, EveryWordMustBeInTheFileNameItself) {
    tree.file("my_clip.mov");
    tree.file("clip.avi");
    tree.file("clip notes.txt");
    tree.folder("concert");
    tree.file("concert/a.mov");
    tree.folder("clip folder");
    tree.file("clip folder/other.mov");
    tree.file("clip folder/Clip Two.MOV");

    EXPECT_EQ(names("Clip  MOV"), (QStringList{"Clip Two.MOV", "my_clip.mov"}));
    EXPECT_EQ(names("concert"), QStringList{});
    EXPECT_EQ(names("MOV"), (QStringList{"Clip Two.MOV", "a.mov", "my_clip.mov", "other.mov"}));
    EXPECT_EQ(names(".m"), names("mov"));
    EXPECT_EQ(names("clip"),
              (QStringList{"Clip Two.MOV", "clip notes.txt", "clip.avi", "my_clip.mov"}));
    EXPECT_EQ(names("mov clip MOV"), (QStringList{"Clip Two.MOV", "my_clip.mov"}));
}

TEST_F(SearchTest, TheMatchRuleReadsOnlyTheNameAndPassesOverEmptyWords) {
    const FileUrl clip = FileUrl::fromPath("/concert/my_clip.mov");
    EXPECT_TRUE(ViewController::myIsContainsString(clip, {}));
    EXPECT_TRUE(ViewController::myIsContainsString(clip, {"", ""}));
    EXPECT_TRUE(ViewController::myIsContainsString(clip, {"CLIP", "", "mov", "Y_C"}));
    EXPECT_FALSE(ViewController::myIsContainsString(clip, {"concert"}));
    EXPECT_FALSE(ViewController::myIsContainsString(clip, {"clip", "avi"}));
    // A line break is no separator: it stays in its word.
    const std::vector<std::string> words =
        CharacterSet::whitespaces().componentsSeparatedBy("a\nb");
    EXPECT_TRUE(ViewController::myIsContainsString(FileUrl::fromPath("/x/a\nb.mov"), words));
    EXPECT_FALSE(ViewController::myIsContainsString(FileUrl::fromPath("/x/a b.mov"), words));
}

TEST_F(SearchTest, NamesThatAreNotAsciiOrNotUtf8AreFoundAndStillOpen) {
    tree.file("Ünïcode Loop.mov");
    tree.file("映像クリップ.mp4");
    tree.file("gig \xE9\xFF.mov");

    EXPECT_EQ(names("ünï loop"), QStringList{"Ünïcode Loop.mov"});
    EXPECT_EQ(names("クリップ"), QStringList{"映像クリップ.mp4"});
    const QList<ClipRecord> records = search("GIG");
    ASSERT_EQ(records.size(), 1);
    EXPECT_EQ(records[0].value("name").toString(),
              QString::fromUtf8("gig \xEF\xBF\xBD\xEF\xBF\xBD.mov"));
    const FileUrl url = records[0].value("url").value<FileUrl>();
    EXPECT_EQ(url.path(), tree.at("gig \xE9\xFF.mov"));
    EXPECT_TRUE(std::ifstream(url.path()).good());
}

TEST_F(SearchTest, FilesWithoutABirthTimeAreDatedWhenTheRecordIsBuilt) {
    // The process file system keeps no birth times.
    controller->searchPath = FileUrl::fromPath("/proc/self/fdinfo");
    const QDateTime before = QDateTime::currentDateTime();
    const QList<ClipRecord> records = search("");
    const QDateTime after = QDateTime::currentDateTime();
    ASSERT_FALSE(records.isEmpty());
    for (const ClipRecord& record : records) {
        const QDateTime created = record.value("creationDate").toDateTime();
        EXPECT_TRUE(created >= before && created <= after);
    }
}

TEST_F(SearchTest, AFolderThatCannotBeReadPrintsItsLineAndTheWalkGoesOn) {
    if (!permissionsApply()) GTEST_SKIP() << "folder modes do not apply to this process";
    tree.folder("a locked");
    tree.file("a locked/clip.mov");
    tree.folder("open");
    tree.file("open/clip.mov");
    tree.lock("a locked", 0);

    testing::internal::CaptureStdout();
    const QList<ClipRecord> records = search("clip");
    const std::string printed = testing::internal::GetCapturedStdout();
    ASSERT_EQ(records.size(), 1);
    EXPECT_EQ(records[0].value("url").value<FileUrl>().path(), tree.at("open/clip.mov"));
    const std::string line = "directoryEnumerator error at " +
                             FileUrl::fromPath(tree.at("a locked")).absoluteString() + ":  ";
    EXPECT_EQ(printed.rfind(line, 0), 0u) << printed;
    EXPECT_NE(printed.find("Permission denied\n"), std::string::npos) << printed;
    EXPECT_EQ(std::count(printed.begin(), printed.end(), '\n'), 1);
}

TEST_F(SearchTest, AnEntryWhosePropertiesCannotBeReadIsPassedOver) {
    if (!permissionsApply()) GTEST_SKIP() << "folder modes do not apply to this process";
    // Listed, but nothing about its entries can be read.
    tree.folder("listable");
    tree.file("listable/clip.mov");
    tree.folder("later");
    tree.file("later/clip.mov");
    tree.file("clip.mov");
    tree.lock("listable", 0444);

    testing::internal::CaptureStdout();
    const QList<ClipRecord> records = search("clip");
    const std::string printed = testing::internal::GetCapturedStdout();
    QStringList paths;
    for (const ClipRecord& record : records) paths << record.value("path").toString();
    paths.sort();
    EXPECT_EQ(paths, (QStringList{QString::fromStdString(tree.at("clip.mov")),
                                  QString::fromStdString(tree.at("later/clip.mov"))}));
    // The error's description alone, on one line.
    EXPECT_EQ(std::count(printed.begin(), printed.end(), '\n'), 1) << printed;
    EXPECT_EQ(printed.find("directoryEnumerator"), std::string::npos) << printed;
    EXPECT_NE(printed.find(tree.at("listable/clip.mov")), std::string::npos) << printed;
}

TEST_F(SearchTest, AMissingSearchFolderPrintsItsLineAndPublishesNothing) {
    controller->searchPath = FileUrl::fromPath(tree.at("gone"));
    controller->arrayController->setContent({{{"name", "old"}}});
    testing::internal::CaptureStdout();
    const QList<ClipRecord> records = search("");
    const std::string printed = testing::internal::GetCapturedStdout();
    EXPECT_TRUE(records.isEmpty());
    EXPECT_EQ(printed.rfind("directoryEnumerator error at file://" + tree.at("gone") + ":  ", 0),
              0u)
        << printed;
}

TEST_F(SearchTest, ANewerSearchSupersedesTheOlderOnes) {
    for (int folder = 0; folder < 20; ++folder) {
        const std::string name = "f" + std::to_string(folder);
        tree.folder(name);
        for (int i = 0; i < 20; ++i) {
            tree.file(name + "/alpha" + std::to_string(i) + ".mov");
            tree.file(name + "/beta" + std::to_string(i) + ".mov");
        }
    }
    int insertions = 0;
    bool hiddenBeforeInsertion = false;
    QObject::connect(controller->arrayController.get(), &QAbstractItemModel::rowsInserted, [&] {
        ++insertions;
        hiddenBeforeInsertion |= indicator.isHidden();
    });

    // Three searches in a row; the walks of the first two may end before or
    // after the last one starts.
    field.setText("alpha");
    controller->search();
    field.setText("alpha 1");
    controller->search();
    const QList<ClipRecord> records = search("BETA 1");
    apptest::settle();
    EXPECT_EQ(insertions, 1);
    EXPECT_FALSE(hiddenBeforeInsertion);
    EXPECT_TRUE(indicator.isHidden());
    QStringList names;
    for (const ClipRecord& record : controller->arrayController->arrangedObjects()) {
        names << record.value("name").toString();
    }
    // beta1 and beta10..beta19, in each of the 20 folders, once each.
    EXPECT_EQ(names.size(), 20 * 11);
    names.removeDuplicates();
    EXPECT_EQ(names.size(), 11);
    for (const QString& name : names) EXPECT_TRUE(name.startsWith("beta1")) << name.toStdString();
}

TEST_F(SearchTest, TheWalkKeepsTheFolderItStartedWith) {
    tree.folder("first");
    tree.file("first/clip.mov");
    tree.folder("second");
    tree.file("second/other clip.mov");
    controller->searchPath = FileUrl::fromPath(tree.at("first"));
    field.setText("clip");
    controller->search();
    controller->searchPath = FileUrl::fromPath(tree.at("second"));  // as a folder choice would
    ASSERT_TRUE(apptest::eventually([&] { return indicator.isHidden(); }));
    const QList<ClipRecord> records = controller->arrayController->arrangedObjects();
    ASSERT_EQ(records.size(), 1);
    EXPECT_EQ(records[0].value("name").toString(), "clip.mov");
}

}  // namespace
}  // namespace cliploop
