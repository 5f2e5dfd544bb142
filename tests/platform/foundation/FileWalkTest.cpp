#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "foundation/FileWalk.h"

namespace cliploop {
namespace {

// A folder tree in a fresh temporary folder, removed afterwards. Paths are
// bytes relative to the root.
class Tree {
  public:
    Tree() {
        std::string pattern = (std::filesystem::temp_directory_path() / "filewalk-XXXXXX").string();
        root_ = mkdtemp(pattern.data());
    }
    ~Tree() {
        std::error_code ignored;
        std::filesystem::remove_all(root_, ignored);
    }
    const std::string& root() const { return root_; }
    std::string at(const std::string& relative) const { return root_ + "/" + relative; }
    void folder(const std::string& relative) {
        ASSERT_EQ(mkdir(at(relative).c_str(), 0755), 0) << relative;
    }
    void file(const std::string& relative) {
        const int fd = open(at(relative).c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
        ASSERT_GE(fd, 0) << relative;
        close(fd);
    }
    void link(const std::string& relative, const std::string& target) {
        ASSERT_EQ(symlink(target.c_str(), at(relative).c_str()), 0);
    }

  private:
    std::string root_;
};

struct Visit {
    std::string path;  // relative to the root
    bool isDirectory;
};

struct Walked {
    std::vector<Visit> visits;
    std::vector<std::pair<std::string, std::string>> errors;  // path, description
    bool ended = false;
};

Walked walkAll(const std::string& root) {
    Walked walked;
    walked.ended = FileWalk::walk(
        root,
        [&](const FileWalk::Entry& entry) {
            EXPECT_TRUE(entry.hasProperties()) << entry.propertiesError();
            EXPECT_EQ(entry.path().substr(0, root.size() + 1), root + "/");
            EXPECT_EQ(entry.path().substr(entry.path().size() - entry.name().size()), entry.name());
            walked.visits.push_back({entry.path().substr(root.size() + 1), entry.isDirectory()});
            return true;
        },
        [&](const FileUrl& url, const std::string& description) {
            walked.errors.emplace_back(url.path(), description);
            return true;
        });
    return walked;
}

std::vector<std::string> paths(const Walked& walked) {
    std::vector<std::string> result;
    for (const Visit& visit : walked.visits) result.push_back(visit.path);
    return result;
}

int openDescriptors() {
    int count = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        (void)entry;
        ++count;
    }
    return count;
}

TEST(FileWalk, VisitsEveryEntryDepthFirstEachFolderBeforeItsContents) {
    Tree tree;
    tree.folder("a");
    tree.file("a/x.mov");
    tree.folder("a/sub");
    tree.file("a/sub/y.mov");
    tree.folder("a/sub/deeper");
    tree.file("a/z.txt");
    tree.file("b.mov");
    tree.folder("c");

    const Walked walked = walkAll(tree.root());
    EXPECT_TRUE(walked.ended);
    EXPECT_TRUE(walked.errors.empty());
    std::vector<std::string> visited = paths(walked);
    std::vector<std::string> expected = {
        "a", "a/x.mov", "a/sub", "a/sub/y.mov", "a/sub/deeper", "a/z.txt", "b.mov", "c"};
    // Each folder is followed at once by everything under it, nothing else.
    for (size_t i = 0; i < visited.size(); ++i) {
        const std::string prefix = visited[i] + "/";
        size_t j = i + 1;
        while (j < visited.size() && visited[j].rfind(prefix, 0) == 0) ++j;
        for (size_t k = j; k < visited.size(); ++k) EXPECT_NE(visited[k].rfind(prefix, 0), 0u);
    }
    std::sort(visited.begin(), visited.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(visited, expected);
    for (const Visit& visit : walked.visits) {
        const bool folder = visit.path == "a" || visit.path == "a/sub" ||
                            visit.path == "a/sub/deeper" || visit.path == "c";
        EXPECT_EQ(visit.isDirectory, folder) << visit.path;
    }
}

TEST(FileWalk, LinksAreVisitedAsThemselvesAndNeverFollowed) {
    Tree tree;
    tree.folder("real");
    tree.file("real/clip.mov");
    tree.link("loop", tree.root());  // a loop back to the root
    tree.link("toReal", "real");
    tree.link("dangling", "nowhere.mov");

    const Walked walked = walkAll(tree.root());
    EXPECT_TRUE(walked.ended);
    std::map<std::string, bool> visited;
    for (const Visit& visit : walked.visits)
        EXPECT_TRUE(visited.emplace(visit.path, visit.isDirectory).second);
    EXPECT_EQ(visited, (std::map<std::string, bool>{{"real", true},
                                                    {"real/clip.mov", false},
                                                    {"loop", false},
                                                    {"toReal", false},
                                                    {"dangling", false}}));
}

TEST(FileWalk, AMissingRootIsReportedAndVisitsNothing) {
    Tree tree;
    const Walked walked = walkAll(tree.at("gone"));
    EXPECT_TRUE(walked.ended);
    EXPECT_TRUE(walked.visits.empty());
    ASSERT_EQ(walked.errors.size(), 1u);
    EXPECT_EQ(walked.errors[0].first, tree.at("gone"));
}

TEST(FileWalk, EntriesVanishingMidWalkCostOnlyThemselves) {
    Tree tree;
    tree.folder("clips");
    constexpr int kFiles = 40;
    for (int i = 0; i < kFiles; ++i) tree.file("clips/" + std::to_string(i) + ".mov");
    tree.folder("clips/sub");
    tree.file("clips/sub/kept.mov");

    // At the first file, every odd-numbered file and the subfolder vanish.
    bool removed = false;
    int vanished = 0;
    std::vector<std::string> dated;
    std::vector<std::pair<std::string, std::string>> errors;
    const bool ended = FileWalk::walk(
        tree.root(),
        [&](const FileWalk::Entry& entry) {
            if (entry.isDirectory()) return true;
            if (!removed) {
                removed = true;
                for (int i = 1; i < kFiles; i += 2) {
                    const std::string path = tree.at("clips/" + std::to_string(i) + ".mov");
                    if (path != entry.path()) unlink(path.c_str());
                }
                std::filesystem::remove_all(tree.at("clips/sub"));
            }
            std::optional<FileWalk::Entry::Time> birth;
            std::string error;
            if (entry.creationDate(birth, error)) {
                dated.emplace_back(entry.name());
            } else {
                ++vanished;
                EXPECT_NE(error.find(entry.path()), std::string::npos) << error;
            }
            return true;
        },
        [&](const FileUrl& url, const std::string& description) {
            errors.emplace_back(url.path(), description);
            return true;
        });
    EXPECT_TRUE(ended);
    // The listing was read before the removal, so the vanished files still
    // come up; reading their properties fails, and the walk goes on.
    EXPECT_GT(vanished, 0);
    for (int i = 0; i < kFiles; i += 2) {
        EXPECT_EQ(std::count(dated.begin(), dated.end(), std::to_string(i) + ".mov"), 1) << i;
    }
    for (const auto& [path, description] : errors) {
        EXPECT_EQ(path, tree.at("clips/sub")) << description;
    }
}

TEST(FileWalk, EitherHandlerCanStopTheWalk) {
    Tree tree;
    for (int i = 0; i < 10; ++i) tree.file(std::to_string(i));
    int visits = 0;
    EXPECT_FALSE(FileWalk::walk(
        tree.root(), [&](const FileWalk::Entry&) { return ++visits < 3; },
        [](const FileUrl&, const std::string&) { return true; }));
    EXPECT_EQ(visits, 3);

    visits = 0;
    EXPECT_FALSE(FileWalk::walk(
        tree.at("missing"), [&](const FileWalk::Entry&) { return ++visits > 0; },
        [](const FileUrl&, const std::string&) { return false; }));
    EXPECT_EQ(visits, 0);
}

TEST(FileWalk, DeepTreesBeyondPathMaxTakeBoundedDescriptors) {
    Tree tree;
    constexpr int kDepth = 130;
    const std::string name(40, 'd');
    // Built level by level through handles: the full paths are too long for
    // the system to take whole.
    int fd = open(tree.root().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    for (int level = 0; level < kDepth; ++level) {
        ASSERT_EQ(mkdirat(fd, name.c_str(), 0755), 0);
        const int file =
            openat(fd, ("f" + std::to_string(level)).c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
        ASSERT_GE(file, 0);
        close(file);
        const int next = openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        close(fd);
        ASSERT_GE(next, 0);
        fd = next;
    }
    close(fd);

    const int before = openDescriptors();
    int most = before;
    int folders = 0;
    std::vector<int> files;
    size_t longest = 0;
    const bool ended = FileWalk::walk(
        tree.root(),
        [&](const FileWalk::Entry& entry) {
            most = std::max(most, openDescriptors());
            longest = std::max(longest, entry.path().size());
            if (entry.isDirectory()) {
                ++folders;
            } else {
                std::optional<FileWalk::Entry::Time> birth;
                std::string error;
                EXPECT_TRUE(entry.creationDate(birth, error)) << error;
                files.push_back(std::atoi(std::string(entry.name().substr(1)).c_str()));
            }
            return true;
        },
        [](const FileUrl& url, const std::string& description) {
            ADD_FAILURE() << url.path().size() << ": " << description;
            return true;
        });
    // Every level's file, even those whose paths exceed PATH_MAX.
    EXPECT_TRUE(ended);
    EXPECT_GT(longest, size_t{PATH_MAX});
    EXPECT_EQ(folders, kDepth);
    std::sort(files.begin(), files.end());
    ASSERT_EQ(files.size(), size_t{kDepth});
    for (int level = 0; level < kDepth; ++level) EXPECT_EQ(files[level], level);
    EXPECT_LE(most - before, 64);
    EXPECT_EQ(openDescriptors(), before);
}

TEST(FileWalk, BirthTimeIsReadWhereTheFileSystemKeepsOne) {
    Tree tree;
    const auto before = std::chrono::system_clock::now() - std::chrono::seconds(2);
    tree.file("new.mov");
    const auto after = std::chrono::system_clock::now() + std::chrono::seconds(2);
    int seen = 0;
    FileWalk::walk(
        tree.root(),
        [&](const FileWalk::Entry& entry) {
            std::optional<FileWalk::Entry::Time> birth;
            std::string error;
            EXPECT_TRUE(entry.creationDate(birth, error)) << error;
            if (birth) {
                EXPECT_GE(*birth, before);
                EXPECT_LE(*birth, after);
            }
            ++seen;
            return true;
        },
        [](const FileUrl&, const std::string&) { return true; });
    EXPECT_EQ(seen, 1);

    // The process file system keeps no birth times.
    int withoutBirth = 0;
    FileWalk::walk(
        "/proc/self/fdinfo",
        [&](const FileWalk::Entry& entry) {
            std::optional<FileWalk::Entry::Time> birth;
            std::string error;
            if (entry.creationDate(birth, error) && !birth) ++withoutBirth;
            return true;
        },
        [](const FileUrl&, const std::string&) { return true; });
    EXPECT_GT(withoutBirth, 0);
}

}  // namespace
}  // namespace cliploop
