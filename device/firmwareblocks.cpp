#include "firmwareblocks.h"

#include <algorithm>
#include <cstring>

namespace firmware {

size_t blockCount(size_t imageLength, size_t blockSize)
{
    if (blockSize < MinBlockSize)
        return 0;
    const size_t payload = blockSize - 1;
    return imageLength == 0 ? 1 : imageLength / payload + (imageLength % payload != 0);
}

size_t fillBlock(const uint8_t *image, size_t imageLength, size_t index, uint8_t *block, size_t blockSize)
{
    const size_t payload = blockSize - 1;
    // index < blockCount keeps the offset within the image, so the product cannot overflow.
    const size_t offset = index * payload;
    const size_t length = offset < imageLength ? std::min(payload, imageLength - offset) : 0;
    block[0] = 0;
    if (length != 0)
        std::memcpy(block + 1, image + offset, length);
    std::memset(block + 1 + length, 0, payload - length);
    return 1 + length;
}

} // namespace firmware
