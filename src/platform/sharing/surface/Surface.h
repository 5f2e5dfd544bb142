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
// Whoever holds a std::shared_ptr<Surface> keeps the memory: a pooled
// surface goes back to its pool only when the last holder lets go.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

namespace cliploop {

class Surface {
  public:
    // Width and height in pixels (at least 1). A bytesPerRow of 0 picks
    // 4 * width rounded up to 64 bytes. Returns nullptr when the memory
    // cannot be had (sizes out of range, no memfd, no memory).
    static std::shared_ptr<Surface> create(int width, int height, int bytesPerRow = 0);
    // The same, owned alone (what a pool keeps on its free list).
    static std::unique_ptr<Surface> allocate(int width, int height, int bytesPerRow = 0);
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

// A bounded set of surfaces of one shape, handed out as shared pointers whose
// last release puts the surface back on the pool's free list under the pool's
// lock. Everything a holder did with the pixels therefore happens before the
// surface is handed out again: reuse waits for the last reader by
// construction, whatever thread that reader is on. Thread-safe.
//
// Surfaces may outlive the pool: the free list lives in state the handed-out
// surfaces share, and a surface that comes back after the pool is gone, or
// that has another shape than the pool now hands out, is freed.
class SurfacePool {
  public:
    // At most `capacity` surfaces live at once (handed out or free).
    explicit SurfacePool(size_t capacity);
    ~SurfacePool();
    SurfacePool(const SurfacePool&) = delete;
    SurfacePool& operator=(const SurfacePool&) = delete;

    // A surface of that size that nobody holds (contents undefined), or
    // nullptr while all `capacity` surfaces are held or when the memory
    // cannot be had. Free surfaces of another size are given up, and held
    // ones of another size are freed when they come back.
    std::shared_ptr<Surface> acquire(int width, int height);
    // The same, but sleeps while all surfaces are held, until one comes back.
    // Gives up (nullptr) once `cancelled()` is true: it is asked on entry,
    // after every wake() and after every return of a surface, under the
    // pool's lock, so it must not take a lock that a thread letting go of a
    // surface may hold.
    std::shared_ptr<Surface> acquireWaiting(int width, int height,
                                            const std::function<bool()>& cancelled);
    // Makes every sleeping acquireWaiting ask its `cancelled` again.
    void wake();
    // Surfaces live now, handed out or free.
    size_t liveCount() const;

  private:
    struct Shared;
    std::shared_ptr<Surface> take(int width, int height, const std::function<bool()>* cancelled);
    std::shared_ptr<Shared> shared_;
};

}  // namespace cliploop
