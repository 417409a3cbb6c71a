#pragma once
// The image fuzz targets explore content, not size: an input whose header claims more than 2048 x
// 2048 pixels is skipped, since decoding and scaling it takes seconds in the instrumented build
// and a handful of them would use up a run. The hostile-image tests and benchmark show the road
// bounded at the largest sizes the allowance lets through.

#include <cstdint>
#include <memory>

#include "tarnwick/image_probe.h"

inline bool too_large_to_fuzz(const std::uint8_t* data, std::size_t size) {
    const auto format = tarnwick::detect_format(data, size);
    if (!format) return false;
    const std::unique_ptr<tarnwick::ImageDecoder> decoder = tarnwick::open_decoder(*format, data, size);
    return decoder && std::uint64_t{decoder->width()} * decoder->height() > std::uint64_t{2048} * 2048;
}
