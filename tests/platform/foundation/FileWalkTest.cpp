#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "foundation/FileWalk.h"

namespace cliploop {
namespace {

// A fresh temporary folder, removed afterwards. make() takes paths relative
// to it; a trailing slash makes a folder.
struct Tree {
    Tree() {
        std::string pattern = (std::filesystem::temp_directory_path() / "filewalk-XXXXXX").string();
        root = mkdtemp(pattern.data());
    }
    ~Tree() {
        std::error_code ignored;
        std::filesystem::remove_all(root, ignored);
    }
    std::string at(const std::string& relative) const { return root + "/" + relative; }
    void make(std::initializer_list<std::string> paths) const {
        for (const std::string& p : paths) {
            if (p.back() == '/') {
                ASSERT_EQ(mkdir(at(p).c_str(), 0755), 0) << p;
            } else {
                const int fd = open(at(p).c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
                ASSERT_GE(fd, 0) << p;
                close(fd);
            }
        }
    }
    std::string root;
};

bool anyError(const FileUrl& url, const std::string& description) {
    ADD_FAILURE() << url.path() << ": " << description;
    return true;
}

int openDescriptors() {
    const auto fds = std::filesystem::directory_iterator("/proc/self/fd");
    return int(std::distance(begin(fds), end(fds)));
}

TEST(FileWalk, DepthFirstSkipsHiddenAndNeverFollowsLinks) {
    Tree tree;
    tree.make({"a/", "a/x.mov", "a/sub/", "a/sub/y.mov", "a/.h.mov", "a/z.txt", ".hid/",
               ".hid/c.mov", "b.mov", "c/"});
    ASSERT_EQ(symlink(tree.root.c_str(), tree.at("loop").c_str()), 0);  // back to the root
    ASSERT_EQ(symlink("a", tree.at("toA").c_str()), 0);
    ASSERT_EQ(symlink("nowhere", tree.at("dangling").c_str()), 0);

    std::vector<std::string> order;  // relative paths, folders with a trailing slash
    EXPECT_TRUE(FileWalk::walk(
        tree.root,
        [&](const FileWalk::Entry& entry) {
            EXPECT_TRUE(entry.hasProperties()) << entry.propertiesError();
            const std::string relative = entry.path().substr(tree.root.size() + 1);
            EXPECT_EQ(entry.name(), relative.substr(relative.rfind('/') + 1));
            order.push_back(relative + (entry.isDirectory() ? "/" : ""));
            return true;
        },
        anyError));
    std::vector<std::string> visited = order;
    std::sort(visited.begin(), visited.end());
    EXPECT_EQ(visited,
              (std::vector<std::string>{"a/", "a/sub/", "a/sub/y.mov", "a/x.mov", "a/z.txt",
                                        "b.mov", "c/", "dangling", "loop", "toA"}));
    // Each folder is followed at once by everything under it.
    for (size_t i = 0; i < order.size(); ++i) {
        const std::string& prefix = order[i];
        if (prefix.back() != '/') continue;
        size_t j = i + 1;
        while (j < order.size() && order[j].rfind(prefix, 0) == 0) ++j;
        for (; j < order.size(); ++j) EXPECT_NE(order[j].rfind(prefix, 0), 0u) << order[j];
    }

    int visits = 0;  // a visitor's false ends the walk there
    EXPECT_FALSE(FileWalk::walk(
        tree.root, [&](const FileWalk::Entry&) { return ++visits < 3; }, anyError));
    EXPECT_EQ(visits, 3);
}

TEST(FileWalk, EntriesVanishingMidWalkCostOnlyThemselves) {
    Tree tree;
    tree.make({"clips/", "clips/sub/", "clips/sub/kept.mov"});
    constexpr int kFiles = 40;
    for (int i = 0; i < kFiles; ++i) tree.make({"clips/" + std::to_string(i) + ".mov"});

    // At the first file, every odd-numbered file and the subfolder vanish.
    bool removed = false;
    int vanished = 0;
    std::vector<std::string> dated;
    EXPECT_TRUE(FileWalk::walk(
        tree.root,
        [&](const FileWalk::Entry& entry) {
            if (entry.isDirectory()) return true;
            if (!std::exchange(removed, true)) {
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
            EXPECT_EQ(url.path(), tree.at("clips/sub")) << description;
            return true;
        }));
    // Listed before the removal, the vanished files still come up; their
    // properties fail and the walk goes on.
    EXPECT_GT(vanished, 0);
    for (int i = 0; i < kFiles; i += 2)
        EXPECT_EQ(std::count(dated.begin(), dated.end(), std::to_string(i) + ".mov"), 1) << i;
}

TEST(FileWalk, TreesDeeperThanPathMaxTakeBoundedDescriptors) {
    Tree tree;
    constexpr int kDepth = 130;
    const std::string name(40, 'd');
    // Built through handles: the full paths are too long to pass whole.
    int fd = open(tree.root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    for (int level = 0; level < kDepth; ++level) {
        ASSERT_EQ(mkdirat(fd, name.c_str(), 0755), 0);
        close(openat(fd, std::to_string(level).c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644));
        const int next = openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        close(fd);
        ASSERT_GE(fd = next, 0);
    }
    close(fd);

    const int before = openDescriptors();
    int most = before;
    std::vector<int> files;
    size_t longest = 0;
    EXPECT_TRUE(FileWalk::walk(
        tree.root,
        [&](const FileWalk::Entry& entry) {
            most = std::max(most, openDescriptors());
            longest = std::max(longest, entry.path().size());
            std::optional<FileWalk::Entry::Time> birth;
            std::string error;
            EXPECT_TRUE(entry.creationDate(birth, error)) << error;
            if (!entry.isDirectory()) files.push_back(std::stoi(std::string(entry.name())));
            return true;
        },
        anyError));
    EXPECT_GT(longest, size_t{PATH_MAX});
    std::sort(files.begin(), files.end());
    ASSERT_EQ(files.size(), size_t{kDepth});
    for (int level = 0; level < kDepth; ++level) EXPECT_EQ(files[level], level);
    EXPECT_LE(most - before, 64);
    EXPECT_EQ(openDescriptors(), before);
}

}  // namespace
}  // namespace cliploop
