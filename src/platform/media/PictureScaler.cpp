#include "media/PictureScaler.h"

#include <algorithm>
#include <cstdlib>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

extern "C" {
#include <libswscale/swscale.h>
}

namespace cliploop {

namespace {

bool usable(int width, int height, int bytesPerRow, const void* pixels) {
    return pixels && width > 0 && height > 0 && width <= PictureScaler::kMaxSide &&
           height <= PictureScaler::kMaxSide &&
           int64_t(width) * height <= PictureScaler::kMaxPixels && bytesPerRow >= width * 4;
}

#ifdef __SSE2__
// One channel of 16 pixels, as 16 bytes.
template <int Shift>
__m128i channel(__m128i p0, __m128i p1, __m128i p2, __m128i p3) {
    const __m128i low = _mm_set1_epi32(0xFF);
    const __m128i a = _mm_and_si128(_mm_srli_epi32(p0, Shift), low);
    const __m128i b = _mm_and_si128(_mm_srli_epi32(p1, Shift), low);
    const __m128i c = _mm_and_si128(_mm_srli_epi32(p2, Shift), low);
    const __m128i d = _mm_and_si128(_mm_srli_epi32(p3, Shift), low);
    return _mm_packus_epi16(_mm_packs_epi32(a, b), _mm_packs_epi32(c, d));
}
#endif

// One row of BGRA pixels into three planes.
void splitRow(const uint8_t* in, int width, uint8_t* b, uint8_t* g, uint8_t* r) {
    int x = 0;
#ifdef __SSE2__
    for (; x + 16 <= width; x += 16) {
        const auto* p = reinterpret_cast<const __m128i*>(in + 4 * x);
        const __m128i p0 = _mm_loadu_si128(p), p1 = _mm_loadu_si128(p + 1),
                      p2 = _mm_loadu_si128(p + 2), p3 = _mm_loadu_si128(p + 3);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(b + x), channel<0>(p0, p1, p2, p3));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(g + x), channel<8>(p0, p1, p2, p3));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(r + x), channel<16>(p0, p1, p2, p3));
    }
#endif
    for (; x < width; ++x) {
        b[x] = in[4 * x];
        g[x] = in[4 * x + 1];
        r[x] = in[4 * x + 2];
    }
}

// Three planes into one row of opaque BGRA pixels.
void joinRow(const uint8_t* b, const uint8_t* g, const uint8_t* r, int width, uint8_t* out) {
    int x = 0;
#ifdef __SSE2__
    const __m128i opaque = _mm_set1_epi8(char(0xFF));
    for (; x + 16 <= width; x += 16) {
        const __m128i vb = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + x));
        const __m128i vg = _mm_loadu_si128(reinterpret_cast<const __m128i*>(g + x));
        const __m128i vr = _mm_loadu_si128(reinterpret_cast<const __m128i*>(r + x));
        const __m128i bgLow = _mm_unpacklo_epi8(vb, vg), bgHigh = _mm_unpackhi_epi8(vb, vg);
        const __m128i raLow = _mm_unpacklo_epi8(vr, opaque), raHigh = _mm_unpackhi_epi8(vr, opaque);
        auto* p = reinterpret_cast<__m128i*>(out + 4 * x);
        _mm_storeu_si128(p, _mm_unpacklo_epi16(bgLow, raLow));
        _mm_storeu_si128(p + 1, _mm_unpackhi_epi16(bgLow, raLow));
        _mm_storeu_si128(p + 2, _mm_unpacklo_epi16(bgHigh, raHigh));
        _mm_storeu_si128(p + 3, _mm_unpackhi_epi16(bgHigh, raHigh));
    }
#endif
    for (; x < width; ++x) {
        out[4 * x] = b[x];
        out[4 * x + 1] = g[x];
        out[4 * x + 2] = r[x];
        out[4 * x + 3] = 0xFF;
    }
}

}  // namespace

struct PictureScaler::Context {
    int sourceWidth, sourceHeight, targetWidth, targetHeight;
    SwsContext* sws;
    Context(int sw, int sh, int tw, int th, SwsContext* context)
        : sourceWidth(sw), sourceHeight(sh), targetWidth(tw), targetHeight(th), sws(context) {}
    ~Context() { sws_freeContext(sws); }
    Context(const Context&) = delete;
    Context& operator=(const Context&) = delete;
};

// Three planes of one size, each row aligned for the SIMD filters.
struct PictureScaler::Planes {
    struct Free {
        void operator()(uint8_t* p) const { std::free(p); }
    };
    std::unique_ptr<uint8_t, Free> memory;
    size_t capacity = 0;
    int smallInARow = 0;
    int width = 0, height = 0, stride = 0;

    bool shape(int w, int h) {
        stride = (w + 63) / 64 * 64;
        const size_t needed = size_t(stride) * size_t(h) * 3;
        // Grows to the largest size asked. Gives memory back only after a
        // long run of far smaller pictures, so that one huge frame does not
        // hold it for good, yet views of two sizes taking turns do not make
        // it come and go at every frame.
        smallInARow = needed < capacity / 4 ? smallInARow + 1 : 0;
        if (needed > capacity || smallInARow > 120) {
            smallInARow = 0;
            memory.reset(static_cast<uint8_t*>(std::aligned_alloc(64, needed)));
            capacity = memory ? needed : 0;
            if (!memory) return false;
        }
        width = w;
        height = h;
        return true;
    }
    uint8_t* plane(int i) const { return memory.get() + size_t(i) * stride * height; }
};

PictureScaler::PictureScaler()
    : sourcePlanes_(std::make_unique<Planes>()), targetPlanes_(std::make_unique<Planes>()) {}

PictureScaler::~PictureScaler() = default;

PictureScaler::Context* PictureScaler::contextFor(int sw, int sh, int tw, int th) {
    const auto found = std::find_if(contexts_.begin(), contexts_.end(), [&](const auto& c) {
        return c->sourceWidth == sw && c->sourceHeight == sh && c->targetWidth == tw &&
               c->targetHeight == th;
    });
    if (found != contexts_.end()) {
        std::rotate(contexts_.begin(), found, found + 1);
        return contexts_.front().get();
    }
    // Rounding as exact as the filters allow, so a flat colour stays that colour.
    const int filter = int64_t(tw) * th < int64_t(sw) * sh ? SWS_AREA : SWS_BICUBIC;
    SwsContext* sws = sws_getContext(sw, sh, AV_PIX_FMT_YUV444P, tw, th, AV_PIX_FMT_YUV444P,
                                     filter | SWS_ACCURATE_RND, nullptr, nullptr, nullptr);
    if (!sws) return nullptr;
    if (contexts_.size() >= kMaxContexts) contexts_.pop_back();
    contexts_.insert(contexts_.begin(), std::make_unique<Context>(sw, sh, tw, th, sws));
    return contexts_.front().get();
}

bool PictureScaler::scale(const PictureIn& source, const PictureOut& target) {
    if (!usable(source.width, source.height, source.bytesPerRow, source.pixels) ||
        !usable(target.width, target.height, target.bytesPerRow, target.pixels))
        return false;
    Context* context = contextFor(source.width, source.height, target.width, target.height);
    if (!context || !sourcePlanes_->shape(source.width, source.height) ||
        !targetPlanes_->shape(target.width, target.height))
        return false;

    Planes& in = *sourcePlanes_;
    for (int y = 0; y < source.height; ++y) {
        const size_t at = size_t(y) * in.stride;
        splitRow(source.pixels + size_t(y) * source.bytesPerRow, source.width, in.plane(0) + at,
                 in.plane(1) + at, in.plane(2) + at);
    }
    Planes& out = *targetPlanes_;
    const uint8_t* const inPlanes[4] = {in.plane(0), in.plane(1), in.plane(2), nullptr};
    const int inStrides[4] = {in.stride, in.stride, in.stride, 0};
    uint8_t* const outPlanes[4] = {out.plane(0), out.plane(1), out.plane(2), nullptr};
    const int outStrides[4] = {out.stride, out.stride, out.stride, 0};
    if (sws_scale(context->sws, inPlanes, inStrides, 0, source.height, outPlanes, outStrides) !=
        target.height)
        return false;
    for (int y = 0; y < target.height; ++y) {
        const size_t at = size_t(y) * out.stride;
        joinRow(out.plane(0) + at, out.plane(1) + at, out.plane(2) + at, target.width,
                target.pixels + size_t(y) * target.bytesPerRow);
    }
    return true;
}

}  // namespace cliploop
