#include "foundation/FileWalk.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

namespace cliploop {
namespace {

namespace fs = std::filesystem;
using Names = std::vector<std::string>;

// A fresh temporary folder, removed afterwards; in make(), a trailing slash makes a folder.
struct Tree {
    std::string root = mkdtemp((fs::temp_directory_path() / "filewalk-XXXXXX").string().data());
    ~Tree() { fs::remove_all(root, ignored); }  // deep paths fail quietly
    std::error_code ignored;
    std::string at(const std::string& relative) const { return root + "/" + relative; }
    void make(const Names& paths) const {
        for (const std::string& p : paths)
            p.back() == '/' ? (void)fs::create_directory(at(p)) : (void)std::ofstream(at(p));
    }
};

bool anyError(const FileUrl& url, const std::string& description) {
    ADD_FAILURE() << url.path() << ": " << description;
    return true;
}

TEST(FileWalk, DepthFirstWithExactNamesSkipsHiddenAndNeverFollowsLinks) {
    Tree tree;
    tree.make({"a/", "a/x.mov", "a/sub/", "a/sub/y.mov", "a/.h.mov", "a/\xFF\xC3.mov", ".hid/",
               ".hid/c.mov", "b.mov", "c/"});
    fs::create_directory_symlink(tree.root, tree.at("loop"));  // back to the root
    fs::create_directory_symlink("a", tree.at("toA"));
    fs::create_symlink("nowhere", tree.at("dangling"));
    Names order;  // relative paths, folders with a trailing slash
    EXPECT_TRUE(FileWalk::walk(
        tree.root,
        [&](const FileWalk::Entry& entry) {
            const std::string relative = entry.path().substr(tree.root.size() + 1);
            EXPECT_EQ(entry.name(), relative.substr(relative.rfind('/') + 1));
            order.push_back(relative + (entry.isDirectory() ? "/" : ""));
            return true;
        },
        anyError));
    Names visited = order;
    std::ranges::sort(visited);
    EXPECT_EQ(visited, (Names{"a/", "a/sub/", "a/sub/y.mov", "a/x.mov", "a/\xFF\xC3.mov", "b.mov",
                              "c/", "dangling", "loop", "toA"}));
    // Depth first: a folder's entries come right after it, never later.
    for (size_t i = 0; i < order.size(); ++i) {
        size_t j = i + 1;
        while (order[i].back() == '/' && j < order.size() && order[j].starts_with(order[i])) ++j;
        for (; j < order.size(); ++j) EXPECT_FALSE(order[j].starts_with(order[i])) << order[j];
    }
    int visits = 0;  // a visitor's false ends the walk there
    EXPECT_FALSE(FileWalk::walk(
        tree.root, [&](auto&) { return ++visits < 3; }, anyError));
    EXPECT_EQ(visits, 3);
}

TEST(FileWalk, VanishingEntriesCostOnlyThemselvesAndAFolderThatCannotBeReadIsReported) {
    Tree tree;
    tree.make({"clips/", "clips/sub/", "clips/sub/kept.mov"});
    const auto file = [&](int i) { return tree.at("clips/" + std::to_string(i) + ".mov"); };
    for (int i = 0; i < 40; ++i) std::ofstream{file(i)};
    // At the first entry in clips, the odd-numbered files (but that entry) and the subfolder go.
    bool removed = false;
    int vanished = 0;
    Names datedFiles, reported;
    const auto visit = [&](const FileWalk::Entry& entry) {
        if (entry.path() != tree.at("clips") && !std::exchange(removed, true)) {
            for (int i = 1; i < 40; i += 2)
                if (file(i) != entry.path()) unlink(file(i).c_str());
            fs::remove_all(tree.at("clips/sub"));
        }
        if (entry.isDirectory()) return true;
        std::string error;
        std::optional<FileWalk::Entry::Time> birth;
        if (entry.creationDate(birth, error)) return datedFiles.push_back(entry.path()), true;
        EXPECT_NE(error.find(entry.path()), std::string::npos) << error;
        return ++vanished, true;
    };
    EXPECT_TRUE(FileWalk::walk(tree.root, visit, [&](const FileUrl& url, const std::string&) {
        return reported.push_back(url.path()), true;  // and the walk goes on
    }));
    // Listed before the removal, vanished files come up; their properties fail.
    EXPECT_TRUE(reported == Names{tree.at("clips/sub")} && vanished > 0);
    for (int i = 0; i < 40; i += 2)
        EXPECT_EQ(std::count(datedFiles.begin(), datedFiles.end(), file(i)), 1) << i;
}

}  // namespace
}  // namespace cliploop
