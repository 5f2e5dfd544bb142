#pragma once
// Shared-memory surfaces: the memory of every decoded frame, handed to other
// processes without a copy.
//
// A Surface is a memfd of bytesPerRow * height bytes of BGRA pixels, sealed
// against shrinking (so a process that maps it can never fault on a truncated
// file), zero-filled when made. Its id is unique within the process and never
// reused. The fd stays open for the surface's life; other processes receive it
// over a socket and map it read-only.
//
// Whoever holds a std::shared_ptr<Surface> keeps it from being reused: a pool
// hands out a surface again only when the pool's own reference is the last one.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace cliploop {

class Surface {
  public:
    // Width and height in pixels (at least 1). A bytesPerRow of 0 picks
    // 4 * width rounded up to 64 bytes. Returns nullptr when the memory
    // cannot be had (sizes out of range, no memfd, no memory).
    static std::shared_ptr<Surface> create(int width, int height, int bytesPerRow = 0);
    ~Surface();
    Surface(const Surface&) = delete;
    Surface& operator=(const Surface&) = delete;

    uint32_t id() const { return id_; }
    int width() const { return width_; }
    int height() const { return height_; }
    int bytesPerRow() const { return bytesPerRow_; }
    size_t byteSize() const { return byteSize_; }
    int fd() const { return fd_; }
    uint8_t* data() { return data_; }
    const uint8_t* data() const { return data_; }

  private:
    Surface(uint32_t id, int fd, uint8_t* data, int width, int height, int bytesPerRow,
            size_t byteSize);
    uint32_t id_;
    int fd_;
    uint8_t* data_;
    int width_, height_, bytesPerRow_;
    size_t byteSize_;
};

// A bounded set of surfaces of one shape, reused once nobody else holds them.
// Thread-safe.
class SurfacePool {
  public:
    // At most `capacity` surfaces live at once.
    explicit SurfacePool(size_t capacity);
    // A surface of that size that nobody else holds (contents undefined), or
    // nullptr when all `capacity` surfaces are held. Surfaces of another size
    // that nobody holds are given up.
    std::shared_ptr<Surface> acquire(int width, int height);
    size_t liveCount() const;

  private:
    const size_t capacity_;
    mutable std::mutex mutex_;
    std::vector<std::shared_ptr<Surface>> surfaces_;
};

}  // namespace cliploop
