// The firmware image cut into feature reports. Input: a two-byte little-endian feature report
// length, then the image. The blocks must carry the image in order, each as long as the feature
// report, report-ID byte 0 first, with zeros after the image only in the last block, and no block
// at all for reports shorter than two bytes.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "device/firmwareblocks.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2)
        return 0;
    const size_t blockSize = size_t(data[0]) | size_t(data[1]) << 8;
    const uint8_t *image = data + 2;
    const size_t imageLength = size - 2;

    const size_t blocks = firmware::blockCount(imageLength, blockSize);
    if (blockSize < firmware::MinBlockSize) {
        if (blocks != 0)
            __builtin_trap();
        return 0;
    }
    if (blocks == 0)
        __builtin_trap(); // even an empty image makes one block

    // Each block in a buffer of exactly the report length, so that writing past it is caught.
    auto block = std::make_unique<uint8_t[]>(blockSize);
    size_t position = 0; // image bytes seen so far
    for (size_t index = 0; index < blocks; ++index) {
        std::memset(block.get(), 0xA5, blockSize);
        const size_t fill = firmware::fillBlock(image, imageLength, index, block.get(), blockSize);
        const bool last = index + 1 == blocks;
        if (block[0] != 0 || fill < 1 || fill > blockSize)
            __builtin_trap();
        if (!last && fill != blockSize)
            __builtin_trap(); // only the last block may be short of image bytes
        if (last && imageLength != 0 && fill == 1)
            __builtin_trap(); // no block of padding alone after the image
        if (std::memcmp(block.get() + 1, image + position, fill - 1) != 0)
            __builtin_trap();
        position += fill - 1;
        for (size_t i = fill; i < blockSize; ++i) {
            if (block[i] != 0)
                __builtin_trap();
        }
    }
    if (position != imageLength)
        __builtin_trap();
    return 0;
}
