#include "foundation/FileWalk.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>
#include <vector>

namespace cliploop {

namespace {

// Folders deeper than this are read whole as they are entered and hold a
// handle only while the walk is inside them (their parent is found again
// through ".."), so a deep tree takes a bounded number of the process's file
// descriptors and paths longer than PATH_MAX are walked too.
constexpr size_t kMaxStreamedFolders = 48;

std::string describe(const char* what, const std::string& path, int error) {
    return std::string(what) + " \"" + path +
           "\": " + std::error_code(error, std::generic_category()).message();
}

struct Listed {
    std::string name;
    unsigned char type;
};

// One folder being read: streamed from an open handle, or listed whole
// beforehand. `fd` is -1 while a listed folder is not the innermost one.
struct Folder {
    DIR* dir = nullptr;
    int fd = -1;
    std::vector<Listed> listed;
    size_t next = 0;
    size_t pathLength = 0;
    dev_t device = 0;
    ino_t inode = 0;
};

bool hidden(const char* name) {
    return name[0] == '.';
}

}  // namespace

bool FileWalk::Entry::creationDate(std::optional<Time>& birth, std::string& error) const {
    birth.reset();
    struct statx info {};
    const int at = folderFd_ >= 0 ? folderFd_ : AT_FDCWD;
    const char* name = folderFd_ >= 0 ? path_.c_str() + nameOffset_ : path_.c_str();
    if (::statx(at, name, AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT, STATX_BTIME, &info) != 0) {
        if (errno == ENOSYS) return true;  // no statx: no birth time either
        error = describe("Cannot read the properties of", path_, errno);
        return false;
    }
    if (info.stx_mask & STATX_BTIME) {
        birth = Time(std::chrono::duration_cast<Time::duration>(
            std::chrono::seconds(info.stx_btime.tv_sec) +
            std::chrono::nanoseconds(info.stx_btime.tv_nsec)));
    }
    return true;
}

bool FileWalk::walk(const std::string& root, const Visitor& visit, const ErrorHandler& error) {
    std::string path = root;
    while (path.size() > 1 && path.back() == '/') path.pop_back();

    std::vector<Folder> stack;
    auto closeAll = [&stack] {
        for (Folder& folder : stack) {
            if (folder.dir) {
                closedir(folder.dir);
            } else if (folder.fd >= 0) {
                close(folder.fd);
            }
        }
        stack.clear();
    };
    auto report = [&](const char* what, int cause) {
        return error(FileUrl::fromPath(path), describe(what, path, cause));
    };

    // Opens the folder at `path` (named `name` inside `parentFd`, or by its
    // whole path when that is -1) and makes it the innermost one. False only
    // when the error handler stops the walk.
    auto enter = [&](int parentFd, const char* name, bool followLink) {
        const int flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC | (followLink ? 0 : O_NOFOLLOW);
        const int fd = parentFd >= 0 ? openat(parentFd, name, flags) : open(path.c_str(), flags);
        if (fd < 0) return report("Cannot open folder", errno);
        Folder folder;
        folder.pathLength = path.size();
        if (stack.size() < kMaxStreamedFolders) {
            folder.dir = fdopendir(fd);
            if (!folder.dir) {
                const int cause = errno;
                close(fd);
                return report("Cannot read folder", cause);
            }
            folder.fd = fd;
            stack.push_back(std::move(folder));
            return true;
        }
        struct stat info {};
        const int listFd = dup(fd);
        DIR* dir = listFd >= 0 ? fdopendir(listFd) : nullptr;
        if (fstat(fd, &info) != 0 || !dir) {
            const int cause = errno;
            if (dir) {
                closedir(dir);
            } else if (listFd >= 0) {
                close(listFd);
            }
            close(fd);
            return report("Cannot read folder", cause);
        }
        errno = 0;
        while (const dirent* entry = readdir(dir)) {
            if (!hidden(entry->d_name)) folder.listed.push_back({entry->d_name, entry->d_type});
            errno = 0;
        }
        const int cause = errno;
        closedir(dir);
        folder.fd = fd;
        folder.device = info.st_dev;
        folder.inode = info.st_ino;
        // The parent, listed whole too, needs no handle until the walk is
        // back in it.
        Folder& parent = stack.back();
        if (!parent.dir && parent.fd >= 0) {
            close(parent.fd);
            parent.fd = -1;
        }
        stack.push_back(std::move(folder));
        return cause == 0 || report("Cannot read folder", cause);
    };

    // Leaves the innermost folder, giving its parent its handle back when
    // the parent had to give it up. False only when the error handler stops
    // the walk.
    auto leave = [&] {
        Folder& folder = stack.back();
        if (folder.dir) {
            closedir(folder.dir);
            stack.pop_back();
            return true;
        }
        const int childFd = folder.fd;
        stack.pop_back();
        bool kept = true;
        Folder& parent = stack.back();  // a listed folder is never the root
        if (!parent.dir && parent.fd < 0) {
            path.resize(parent.pathLength);
            if (childFd >= 0) {
                // Reached through "..": it must still be the folder entered.
                const int fd = openat(childFd, "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
                struct stat info {};
                if (fd >= 0 && fstat(fd, &info) == 0 && info.st_dev == parent.device &&
                    info.st_ino == parent.inode) {
                    parent.fd = fd;
                } else if (fd >= 0) {
                    close(fd);
                }
            }
            if (parent.fd < 0) {
                // Moved while the walk was below it: the rest of it is not
                // where the walk thinks it is.
                parent.next = parent.listed.size();
                kept = report("Cannot return to folder", ENOENT);
            }
        }
        if (childFd >= 0) close(childFd);
        return kept;
    };

    if (!enter(-1, nullptr, true)) return false;

    while (!stack.empty()) {
        Folder& folder = stack.back();
        const char* name = nullptr;
        unsigned char type = DT_UNKNOWN;
        if (folder.dir) {
            errno = 0;
            const dirent* entry = readdir(folder.dir);
            if (!entry) {
                const int cause = errno;
                path.resize(folder.pathLength);
                const bool goOn = (cause == 0 || report("Cannot read folder", cause)) && leave();
                if (!goOn) {
                    closeAll();
                    return false;
                }
                continue;
            }
            name = entry->d_name;
            type = entry->d_type;
        } else {
            if (folder.next == folder.listed.size() || folder.fd < 0) {
                if (!leave()) {
                    closeAll();
                    return false;
                }
                continue;
            }
            const Listed& listed = folder.listed[folder.next++];
            name = listed.name.c_str();
            type = listed.type;
        }
        if (hidden(name)) continue;

        path.resize(folder.pathLength);
        if (path.back() != '/') path.push_back('/');
        const size_t nameOffset = path.size();
        path.append(name);

        Entry entry(path, nameOffset, folder.fd);
        if (type == DT_UNKNOWN) {
            // The listing does not say (some file systems never do): ask.
            struct stat info {};
            if (fstatat(folder.fd, path.c_str() + nameOffset, &info,
                        AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT) != 0) {
                entry.propertiesError_ = describe("Cannot read the properties of", path, errno);
            } else {
                entry.isDirectory_ = S_ISDIR(info.st_mode);
            }
        } else {
            entry.isDirectory_ = type == DT_DIR;
        }

        const int parentFd = folder.fd;  // `folder` moves when a child is entered
        if (!visit(entry)) {
            closeAll();
            return false;
        }
        if (entry.isDirectory_ && entry.hasProperties() &&
            !enter(parentFd, path.c_str() + nameOffset, false)) {
            closeAll();
            return false;
        }
    }
    return true;
}

}  // namespace cliploop
