// The firmware image cut into the feature reports that carry it to the bootloader. Plain C++, no Qt.
//
// The bootloader learns each byte's address from the order of the reports alone: every block is
// `blockSize` bytes, the report-ID byte 0 followed by the next blockSize - 1 image bytes, the last
// block padded with zeros. An empty image still makes one block, all zeros.
#pragma once

#include <cstddef>
#include <cstdint>

namespace firmware {

// Blocks need the report-ID byte and room for at least one image byte.
constexpr size_t MinBlockSize = 2;

// The number of blocks of `blockSize` bytes that carry an image of `imageLength` bytes; 0 when
// `blockSize` is below MinBlockSize.
size_t blockCount(size_t imageLength, size_t blockSize);

// Writes block `index` (below blockCount) into `block`, which holds `blockSize` bytes, and answers
// how many of its bytes are report ID and image, the rest being padding.
size_t fillBlock(const uint8_t *image, size_t imageLength, size_t index, uint8_t *block, size_t blockSize);

} // namespace firmware
