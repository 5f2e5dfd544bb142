#include "surface/Surface.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <limits>

namespace cliploop {

namespace {

std::atomic<uint32_t> nextSurfaceId{1};

// Largest surface we agree to make: 16384 x 16384 BGRA (1 GiB), far beyond any
// frame we decode, small enough that a hostile size cannot exhaust memory.
constexpr int kMaxDimension = 16384;

}  // namespace

std::shared_ptr<Surface> Surface::create(int width, int height, int bytesPerRow) {
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
    return std::shared_ptr<Surface>(
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

SurfacePool::SurfacePool(size_t capacity) : capacity_(std::max<size_t>(capacity, 1)) {}

std::shared_ptr<Surface> SurfacePool::acquire(int width, int height) {
    std::lock_guard lock(mutex_);
    // use_count() == 1 means only the pool holds the surface: nobody else
    // can take a new reference to it, so the answer cannot go stale.
    std::erase_if(surfaces_, [&](const std::shared_ptr<Surface>& s) {
        return s.use_count() == 1 && (s->width() != width || s->height() != height);
    });
    for (auto& surface : surfaces_) {
        if (surface.use_count() == 1) return surface;
    }
    if (surfaces_.size() >= capacity_) return nullptr;
    auto surface = Surface::create(width, height);
    if (surface) surfaces_.push_back(surface);
    return surface;
}

size_t SurfacePool::liveCount() const {
    std::lock_guard lock(mutex_);
    return surfaces_.size();
}

}  // namespace cliploop
