#include "surface/Surface.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <limits>
#include <mutex>
#include <vector>

namespace cliploop {

namespace {

std::atomic<uint32_t> nextSurfaceId{1};

// Largest surface we agree to make: 16384 x 16384 BGRA (1 GiB), far beyond any
// frame we decode, small enough that a hostile size cannot exhaust memory.
constexpr int kMaxDimension = 16384;

}  // namespace

std::shared_ptr<Surface> Surface::create(int width, int height, int bytesPerRow) {
    return allocate(width, height, bytesPerRow);
}

std::unique_ptr<Surface> Surface::allocate(int width, int height, int bytesPerRow) {
    if (width < 1 || height < 1 || width > kMaxDimension || height > kMaxDimension) return nullptr;
    const int minimumRow = width * 4;
    if (bytesPerRow == 0) bytesPerRow = (minimumRow + 63) / 64 * 64;
    if (bytesPerRow < minimumRow || bytesPerRow > kMaxDimension * 8) return nullptr;
    const size_t byteSize = static_cast<size_t>(bytesPerRow) * static_cast<size_t>(height);

    const int fd = memfd_create("cliploop-surface", MFD_CLOEXEC | MFD_ALLOW_SEALING);
    if (fd < 0) return nullptr;
    // A mapping of a file that can shrink faults when it does; sealing makes
    // the size a promise to every process that maps the surface.
    if (ftruncate(fd, static_cast<off_t>(byteSize)) != 0 ||
        fcntl(fd, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_SEAL) != 0) {
        close(fd);
        return nullptr;
    }
    void* data = mmap(nullptr, byteSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (data == MAP_FAILED) {
        close(fd);
        return nullptr;
    }
    const uint32_t id = nextSurfaceId.fetch_add(1, std::memory_order_relaxed);
    return std::unique_ptr<Surface>(
        new Surface(id, fd, static_cast<uint8_t*>(data), width, height, bytesPerRow, byteSize));
}

Surface::Surface(uint32_t id, int fd, uint8_t* data, int width, int height, int bytesPerRow,
                 size_t byteSize)
    : id_(id),
      fd_(fd),
      data_(data),
      width_(width),
      height_(height),
      bytesPerRow_(bytesPerRow),
      byteSize_(byteSize) {}

Surface::~Surface() {
    munmap(data_, byteSize_);
    close(fd_);
}

// What the pool and every surface it handed out share: the free list, the
// count of live surfaces and the shape handed out now.
struct SurfacePool::Shared {
    explicit Shared(size_t capacity) : capacity(capacity) {}
    const size_t capacity;
    std::mutex mutex;
    std::condition_variable returned;
    std::vector<std::unique_ptr<Surface>> free;
    size_t live = 0;
    int width = 0, height = 0;
    bool closed = false;  // the pool is gone: returning surfaces are freed

    // The deleter of every handed-out pointer.
    void giveBack(Surface* surface) {
        std::unique_ptr<Surface> owned(surface);
        {
            std::lock_guard lock(mutex);
            if (!closed && surface->width() == width && surface->height() == height) {
                free.push_back(std::move(owned));
            } else {
                --live;
            }
            returned.notify_all();
        }
        // A surface that stays `owned` is unmapped here, outside the lock.
    }
};

SurfacePool::SurfacePool(size_t capacity)
    : shared_(std::make_shared<Shared>(std::max<size_t>(capacity, 1))) {}

SurfacePool::~SurfacePool() {
    std::vector<std::unique_ptr<Surface>> free;
    std::lock_guard lock(shared_->mutex);
    shared_->closed = true;
    shared_->live -= shared_->free.size();
    free.swap(shared_->free);
    shared_->returned.notify_all();
}

std::shared_ptr<Surface> SurfacePool::acquire(int width, int height) {
    return take(width, height, nullptr);
}

std::shared_ptr<Surface> SurfacePool::acquireWaiting(int width, int height,
                                                     const std::function<bool()>& cancelled) {
    return take(width, height, &cancelled);
}

std::shared_ptr<Surface> SurfacePool::take(int width, int height,
                                           const std::function<bool()>* cancelled) {
    Shared& shared = *shared_;
    std::unique_ptr<Surface> surface;
    std::vector<std::unique_ptr<Surface>> stale;  // freed outside the lock
    {
        std::unique_lock lock(shared.mutex);
        shared.width = width;
        shared.height = height;
        for (;;) {
            for (auto& s : shared.free) {
                if (s->width() == width && s->height() == height) continue;
                stale.push_back(std::move(s));
                --shared.live;
            }
            std::erase(shared.free, nullptr);
            if (!shared.free.empty()) {
                surface = std::move(shared.free.back());
                shared.free.pop_back();
                break;
            }
            if (shared.live < shared.capacity) {
                ++shared.live;  // the slot is ours while the memory is made
                break;
            }
            if (!cancelled || (*cancelled)()) return nullptr;
            shared.returned.wait(lock);
            if ((*cancelled)()) return nullptr;
        }
    }
    stale.clear();
    if (!surface) {
        surface = Surface::allocate(width, height);
        if (!surface) {
            std::lock_guard lock(shared.mutex);
            --shared.live;
            shared.returned.notify_all();
            return nullptr;
        }
    }
    // Should making the shared pointer throw, the deleter has already run
    // and the surface is back on the free list.
    return std::shared_ptr<Surface>(surface.release(),
                                    [keep = shared_](Surface* s) { keep->giveBack(s); });
}

void SurfacePool::wake() {
    std::lock_guard lock(shared_->mutex);
    shared_->returned.notify_all();
}

size_t SurfacePool::liveCount() const {
    std::lock_guard lock(shared_->mutex);
    return shared_->live;
}

}  // namespace cliploop
