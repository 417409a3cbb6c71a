// Lanczos3 resampling: the vertical pass accumulates the source rows a target row needs into one
// float row, the horizontal pass filters that row into the target row. Vertical first keeps the
// wide, contiguous loop (which vectorises) on the larger side and needs no intermediate image:
// only a ring of the source rows in the current window and one float row are held.
#include "tarnwick/resample.h"

#include "tarnwick/convert.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <new>
#include <numbers>
#include <vector>

namespace tarnwick {
namespace {

constexpr double lanczos_window = 3.0;

double sinc(double x) {
    if (x == 0.0) return 1.0;
    const double px = std::numbers::pi * x;
    return std::sin(px) / px;
}

double lanczos3(double x) {
    if (x <= -lanczos_window || x >= lanczos_window) return 0.0;
    return sinc(x) * sinc(x / lanczos_window);
}

// The weights of every target sample along one axis: target i takes `count[i]` source samples
// from `first[i]` on, with weights at weights[i * stride ...].
struct Taps {
    std::vector<std::uint32_t> first;
    std::vector<std::uint32_t> count;
    std::vector<float> weights;
    std::size_t stride = 0;
};

// The most source samples one target sample can weigh: the window on both sides and the centre.
std::size_t tap_stride(std::uint32_t src, std::uint32_t dst) {
    const double support = lanczos_window * std::max(1.0, static_cast<double>(src) / dst);
    return std::min<std::size_t>(static_cast<std::size_t>(std::ceil(support)) * 2 + 1, src);
}

std::uint64_t taps_bytes(std::uint32_t src, std::uint32_t dst) {
    return std::uint64_t{dst} * (tap_stride(src, dst) * sizeof(float) + 2 * sizeof(std::uint32_t));
}

Taps make_taps(std::uint32_t src, std::uint32_t dst) {
    const double scale = static_cast<double>(src) / dst;
    const double filter_scale = std::max(1.0, scale);
    const double support = lanczos_window * filter_scale;
    Taps taps;
    taps.stride = tap_stride(src, dst);
    taps.first.resize(dst);
    taps.count.resize(dst);
    taps.weights.assign(std::size_t{dst} * taps.stride, 0.0f);
    std::vector<double> w(taps.stride);
    for (std::uint32_t i = 0; i < dst; ++i) {
        const double centre = (i + 0.5) * scale;
        const auto lo = static_cast<std::int64_t>(std::max(0.0, std::floor(centre - support + 0.5)));
        auto hi = static_cast<std::int64_t>(std::min<double>(src, std::floor(centre + support + 0.5)));
        hi = std::min<std::int64_t>(hi, lo + static_cast<std::int64_t>(taps.stride));
        const auto n = static_cast<std::size_t>(std::max<std::int64_t>(hi - lo, 1));
        double sum = 0.0;
        for (std::size_t k = 0; k < n; ++k) {
            w[k] = lanczos3((static_cast<double>(lo) + k + 0.5 - centre) / filter_scale);
            sum += w[k];
        }
        float* out = &taps.weights[std::size_t{i} * taps.stride];
        if (sum == 0.0) {
            // Cannot happen for Lanczos3 windows in practice; fall back to the nearest sample.
            out[0] = 1.0f;
        } else {
            for (std::size_t k = 0; k < n; ++k) out[k] = static_cast<float>(w[k] / sum);
        }
        taps.first[i] = static_cast<std::uint32_t>(lo);
        taps.count[i] = static_cast<std::uint32_t>(n);
    }
    return taps;
}

// The sample type's range, which the intermediate row is clipped to, and its rounding of a
// filtered value to the 8-bit output.
template <class T>
struct Range;
template <>
struct Range<std::uint8_t> {
    static constexpr float max = 255.0f;
    static unsigned char to_8bit(float v) noexcept {
        if (!(v > 0.0f)) return 0;
        if (v >= 255.0f) return 255;
        return static_cast<unsigned char>(v + 0.5f);
    }
};
template <>
struct Range<std::uint16_t> {
    static constexpr float max = 65535.0f;
    static unsigned char to_8bit(float v) noexcept {
        if (!(v > 0.0f)) return 0;
        if (v >= 65535.0f) return 255;
        return u16_to_8bit(static_cast<std::uint32_t>(v + 0.5f));
    }
};
template <>
struct Range<float> {
    static constexpr float max = 1.0f;
    static unsigned char to_8bit(float v) noexcept { return f32_to_8bit(v); }
};

// acc[i] += weight * row[i]: the vertical pass's inner loop, kept simple for the vectoriser, and
// kept out of line: inlined into the loop over the rows, it is fused with it and loses its vector
// form.
template <class T>
[[gnu::noinline]] void accumulate(float* __restrict acc, const T* __restrict row, float weight, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) acc[i] += weight * static_cast<float>(row[i]);
}

// Two rows at once: half the loads and stores of the sums.
template <class T>
[[gnu::noinline]] void accumulate2(float* __restrict acc, const T* __restrict a, float wa, const T* __restrict b,
                                   float wb, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) acc[i] += wa * static_cast<float>(a[i]) + wb * static_cast<float>(b[i]);
}

// The intermediate row is clipped to the sample range, as a 16-bit intermediate image would be: at
// hard edges (text, dithering) the overshoot of the first pass would otherwise carry into the
// second and the result would drift by many levels.
void clamp(float* __restrict acc, std::size_t n, float max) {
    for (std::size_t i = 0; i < n; ++i) acc[i] = std::min(max, std::max(0.0f, acc[i]));
}

// The intermediate row keeps an RGB pixel in four floats, the fourth unused, so that each tap of
// the horizontal pass is one vector operation; a grey pixel is one float.
constexpr std::uint32_t padded(std::uint32_t channels) { return channels == 3 ? 4 : channels; }

template <class T, std::uint32_t C>
void filter_row(const float* __restrict acc, const Taps& taps, std::uint32_t dst_width,
                unsigned char* __restrict out) {
    constexpr std::uint32_t P = padded(C);
    for (std::uint32_t x = 0; x < dst_width; ++x) {
        const float* w = &taps.weights[std::size_t{x} * taps.stride];
        const float* p = acc + std::size_t{taps.first[x]} * P;
        float v[P] = {};
        if constexpr (P == 4) {
            // One four-float vector per pixel (the compiler keeps the lanes' sums apart otherwise).
            using Lanes = float __attribute__((vector_size(16)));
            Lanes sum = {0.0f, 0.0f, 0.0f, 0.0f};
            for (std::uint32_t k = 0; k < taps.count[x]; ++k, p += P) {
                Lanes pixel;
                std::memcpy(&pixel, p, sizeof pixel);
                sum += w[k] * pixel;
            }
            std::memcpy(v, &sum, sizeof v);
        } else {
            for (std::uint32_t k = 0; k < taps.count[x]; ++k, p += P) v[0] += w[k] * p[0];
        }
        for (std::uint32_t c = 0; c < 3; ++c) out[c] = Range<T>::to_8bit(v[C == 3 ? c : 0]);
        out += 3;
    }
}

// The vertical pass, a block of samples at a time so that the sums stay in the first-level cache
// while every source row of the window is added in; clipped and spread into the padded row.
template <class T, std::uint32_t C>
void vertical_pass(const T* const* rows, const float* w, std::uint32_t count, std::size_t samples, float* acc) {
    constexpr std::size_t block = 768;  // a multiple of 3
    constexpr std::uint32_t P = padded(C);
    float sums[block];
    for (std::size_t start = 0; start < samples; start += block) {
        const std::size_t n = std::min(block, samples - start);
        std::fill(sums, sums + n, 0.0f);
        std::uint32_t k = 0;
        for (; k + 1 < count; k += 2) accumulate2(sums, rows[k] + start, w[k], rows[k + 1] + start, w[k + 1], n);
        if (k < count) accumulate(sums, rows[k] + start, w[k], n);
        clamp(sums, n, Range<T>::max);
        float* to = acc + start / C * P;
        if constexpr (P == C) {
            std::copy(sums, sums + n, to);
        } else {
            for (std::size_t i = 0; i < n / C; ++i)
                for (std::uint32_t c = 0; c < C; ++c) to[i * P + c] = sums[i * C + c];
        }
    }
}

template <class T, std::uint32_t C>
bool resample_as(std::uint32_t src_width, std::uint32_t src_height, std::uint32_t dst_width,
                 std::uint32_t dst_height, const RowSource& next_row, unsigned char* out) {
    const Taps across = make_taps(src_width, dst_width);
    const Taps down = make_taps(src_height, dst_height);
    const std::size_t samples = std::size_t{src_width} * C;
    // Windows only move forward, so a ring as deep as the widest window holds every row the
    // current target row needs.
    const std::size_t depth = down.stride;
    std::vector<T> ring(depth * samples);
    std::vector<float> acc(std::size_t{src_width} * padded(C), 0.0f);
    std::vector<const T*> window(depth);
    std::uint32_t rows_read = 0;
    for (std::uint32_t y = 0; y < dst_height; ++y) {
        const std::uint32_t first = down.first[y], last = first + down.count[y];
        for (; rows_read < last; ++rows_read)
            if (!next_row(reinterpret_cast<unsigned char*>(&ring[(rows_read % depth) * samples]))) return false;
        for (std::uint32_t k = 0; k < down.count[y]; ++k) window[k] = &ring[((first + k) % depth) * samples];
        vertical_pass<T, C>(window.data(), &down.weights[std::size_t{y} * down.stride], down.count[y], samples,
                            acc.data());
        filter_row<T, C>(acc.data(), across, dst_width, out + std::size_t{y} * dst_width * 3);
    }
    return true;
}

template <class T>
bool resample_type(std::uint32_t channels, std::uint32_t src_width, std::uint32_t src_height,
                   std::uint32_t dst_width, std::uint32_t dst_height, const RowSource& next_row,
                   unsigned char* out) {
    if (channels == 1) return resample_as<T, 1>(src_width, src_height, dst_width, dst_height, next_row, out);
    if (channels == 3) return resample_as<T, 3>(src_width, src_height, dst_width, dst_height, next_row, out);
    return false;
}

}  // namespace

std::uint64_t resample_working_bytes(PixelLayout layout, std::uint32_t src_width, std::uint32_t src_height,
                                     std::uint32_t dst_width, std::uint32_t dst_height) noexcept {
    if (src_width == 0 || src_height == 0 || dst_width == 0 || dst_height == 0) return 0;
    const std::uint64_t channels = layout.colour_channels();
    const std::uint64_t ring = tap_stride(src_height, dst_height) * src_width * channels * layout.sample_bytes();
    const std::uint64_t row = std::uint64_t{src_width} * padded(static_cast<std::uint32_t>(channels)) * sizeof(float);
    return taps_bytes(src_width, dst_width) + taps_bytes(src_height, dst_height) + ring + row;
}

bool resample(PixelLayout layout, std::uint32_t src_width, std::uint32_t src_height, std::uint32_t dst_width,
              std::uint32_t dst_height, const RowSource& next_row, unsigned char* out) {
    if (src_width == 0 || src_height == 0 || dst_width == 0 || dst_height == 0) return false;
    try {
        switch (layout.type) {
            case SampleType::u8:
                return resample_type<std::uint8_t>(layout.channels, src_width, src_height, dst_width, dst_height,
                                                   next_row, out);
            case SampleType::u16:
                return resample_type<std::uint16_t>(layout.channels, src_width, src_height, dst_width,
                                                    dst_height, next_row, out);
            case SampleType::f32:
                return resample_type<float>(layout.channels, src_width, src_height, dst_width, dst_height,
                                            next_row, out);
        }
        return false;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

}  // namespace tarnwick
