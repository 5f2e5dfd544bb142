#pragma once
// A file URL over a path's raw bytes. Linux file names are bytes and need not
// be UTF-8; a FileUrl keeps them exactly, so the file it names can always be
// opened again, and renders them percent-encoded in its textual form.
#include <string>

namespace cliploop {

class FileUrl {
  public:
    FileUrl() = default;
    // An absolute path, as bytes. A relative path is taken against the
    // current folder.
    static FileUrl fromPath(std::string path);
    // Parses "file:///..." or "file://localhost/..." (percent-encoding decoded
    // to bytes; a query or fragment is ignored); an empty URL when `text` is
    // not a local file URL or holds a malformed escape or an encoded NUL.
    static FileUrl fromString(const std::string& text);

    bool isEmpty() const { return path_.empty(); }
    // The file-system path, exact bytes.
    const std::string& path() const { return path_; }
    // The last path component, exact bytes ("" for "/").
    std::string lastPathComponent() const;
    // "file://" followed by the path, every byte but RFC 3986 unreserved
    // characters and '/' percent-encoded; "" for an empty URL.
    std::string absoluteString() const;

    bool operator==(const FileUrl&) const = default;

  private:
    std::string path_;
};

}  // namespace cliploop
