#pragma once
// A recursive walk of a folder tree, for searches over large trees.
//
// Order: depth first; a folder is visited, then everything under it, then
// the entries after it, each folder's entries in the order the file system
// lists them. The root itself is not visited.
//
// What is visited: every entry under the root except hidden ones (a name that
// begins with a period), and nothing under a hidden folder. Symbolic links
// are visited as themselves and never followed, so a link to a folder is no
// folder here and a tree with link loops still ends. Names are bytes and need
// not be UTF-8.
//
// Cost: the folder flag comes with the listing; the file system is asked
// about an entry only when its listing does not say what it is, and for its
// birth time when the visitor asks (Entry::creationDate). At most a fixed
// number of folders are held open at once, however deep the tree.
//
// Errors: a folder that cannot be opened or read is reported to the error
// handler with its URL and a description, and the walk goes on with the
// entries after it.
//
// Threads: walk() runs on the calling thread and calls both handlers there;
// separate walks may run at once.
#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "foundation/FileUrl.h"

namespace cliploop {

class FileWalk {
  public:
    class Entry {
      public:
        // The absolute path (exact bytes) and its last component.
        const std::string& path() const { return path_; }
        std::string_view name() const { return std::string_view(path_).substr(nameOffset_); }
        FileUrl url() const { return FileUrl::fromPath(path_); }

        // False when the walk could not tell what the entry is (it vanished
        // between listing and looking); propertiesError() then says why.
        // Such an entry is not descended into.
        bool hasProperties() const { return propertiesError_.empty(); }
        const std::string& propertiesError() const { return propertiesError_; }
        bool isDirectory() const { return isDirectory_; }

        using Time = std::chrono::system_clock::time_point;
        // Reads the birth time. False, with `error` set, when the entry's
        // properties cannot be read; true otherwise, with `birth` empty when
        // the file system keeps no birth time.
        bool creationDate(std::optional<Time>& birth, std::string& error) const;

      private:
        friend class FileWalk;
        Entry(const std::string& path, size_t nameOffset, int folderFd)
            : path_(path), nameOffset_(nameOffset), folderFd_(folderFd) {}
        const std::string& path_;
        size_t nameOffset_;
        int folderFd_;  // the open parent folder, or -1 (then path_ is used)
        bool isDirectory_ = false;
        std::string propertiesError_;
    };

    // Called for each entry; false stops the walk.
    using Visitor = std::function<bool(const Entry&)>;
    // Called with the URL of an entry that cannot be read and a description of
    // the error; false stops the walk.
    using ErrorHandler = std::function<bool(const FileUrl& url, const std::string& description)>;

    // Walks the tree under `root` (a symbolic link as the root is followed).
    // True when the walk reached its end, false when a handler stopped it.
    static bool walk(const std::string& root, const Visitor& visit, const ErrorHandler& error);
};

}  // namespace cliploop
