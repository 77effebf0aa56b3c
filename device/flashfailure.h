// Why a firmware transfer did not deliver the whole image: a small value the transfer fills in and
// any front end turns into words.
#pragma once

#include <QString>

#include <cstdint>

struct FlashFailure {
    enum class Reason : uint8_t {
        None,              // the whole image went out
        DeviceGone,        // the controller is no longer registered
        FileUnreadable,    // the file could not be opened or read
        NotARegularFile,   // a folder, a pipe or a device node: no known length and end
        FileTooLarge,      // longer than a 32-bit length
        NoFirmwareBlocks,  // the controller's feature report cannot carry an image byte
        BlockRefused,      // the controller refused block `block` of `blocks`
        FileEmpty,         // a file of no bytes: a failed download, not an image
        BlockIncomplete,   // the controller took only part of block `block` of `blocks`
        Vanished,          // the controller left the bus during block `block` of `blocks`
        UnitAmbiguous,     // no port and no serial text of its own: it could not be found again
        BootloaderRefused, // the bootloader command was not taken
        NoBootloader,      // its bootloader did not come up on its port in time
        NoComeback,        // after the whole image, the controller did not come back in time
    };
    Reason reason = Reason::None;
    uint32_t block = 0;  // BlockRefused, BlockIncomplete, Vanished: the block, counted from 1
    uint32_t blocks = 0; // the blocks of the whole image
};

// The reason in plain words, one sentence, for a message box or a terminal.
QString describeFlashFailure(const FlashFailure &failure);
