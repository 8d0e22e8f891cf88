#pragma once

// Input formats shared by the fuzz targets and the seed generator.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace fuzz_support {

// A sequence of frames, each a 32-bit little-endian length followed by that many bytes. A length
// running past the end takes what is left, so every input splits into frames.
inline std::vector<std::string> split_frames(const std::uint8_t* data, std::size_t size) {
    std::vector<std::string> frames;
    std::size_t at = 0;
    while (size - at >= 4) {
        const std::uint32_t length =
                static_cast<std::uint32_t>(data[at]) | static_cast<std::uint32_t>(data[at + 1]) << 8 |
                static_cast<std::uint32_t>(data[at + 2]) << 16 | static_cast<std::uint32_t>(data[at + 3]) << 24;
        at += 4;
        const std::size_t taken = length < size - at ? length : size - at;
        frames.emplace_back(reinterpret_cast<const char*>(data + at), taken);
        at += taken;
    }
    return frames;
}

inline void append_frame(std::string& out, const std::string& frame) {
    const auto length = static_cast<std::uint32_t>(frame.size());
    for (int shift = 0; shift < 32; shift += 8) {
        out.push_back(static_cast<char>((length >> shift) & 0xFF));
    }
    out += frame;
}

}  // namespace fuzz_support
