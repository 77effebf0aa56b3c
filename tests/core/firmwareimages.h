// Firmware images for transfer tests, and the blocks a bootloader must receive for them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace firmwareimages {

using Bytes = std::vector<uint8_t>;

inline Bytes imageOf(size_t length)
{
    Bytes image(length);
    for (size_t i = 0; i < length; ++i)
        image[i] = uint8_t(i * 7 + 1); // never 0, so padding is told apart from data
    return image;
}

// The feature reports a bootloader with `blockSize`-byte reports receives for `image`: no report ID,
// the last block zero-padded, and one block even for an empty image.
inline std::vector<Bytes> expectedBlocks(const Bytes &image, size_t blockSize)
{
    std::vector<Bytes> blocks;
    size_t position = 0;
    do {
        Bytes block(blockSize, 0);
        for (size_t i = 1; i < blockSize && position < image.size(); ++i)
            block[i] = image[position++];
        blocks.push_back(block);
    } while (position < image.size());
    return blocks;
}

} // namespace firmwareimages
