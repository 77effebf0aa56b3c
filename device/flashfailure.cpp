#include "flashfailure.h"

#include <QCoreApplication>

QString describeFlashFailure(const FlashFailure &failure)
{
    const auto text = [](const char *words) { return QCoreApplication::translate("FlashFailure", words); };
    switch (failure.reason) {
    case FlashFailure::Reason::None:
        return text("The whole firmware was sent.");
    case FlashFailure::Reason::DeviceGone:
        return text("The controller is gone: it was unplugged or restarted.");
    case FlashFailure::Reason::FileUnreadable:
        return text("The firmware file could not be read.");
    case FlashFailure::Reason::NotARegularFile:
        return text("The firmware file is not a regular file.");
    case FlashFailure::Reason::FileTooLarge:
        return text("The firmware file is too large.");
    case FlashFailure::Reason::NoFirmwareBlocks:
        return text("The controller cannot take firmware blocks.");
    case FlashFailure::Reason::BlockRefused:
        return text("The controller refused block %1 of %2.").arg(failure.block).arg(failure.blocks);
    case FlashFailure::Reason::FileEmpty:
        return text("The firmware file is empty.");
    case FlashFailure::Reason::BlockIncomplete:
        return text("The controller took only part of block %1 of %2.")
            .arg(failure.block)
            .arg(failure.blocks);
    case FlashFailure::Reason::Vanished:
        return text("The controller disappeared during block %1 of %2.")
            .arg(failure.block)
            .arg(failure.blocks);
    case FlashFailure::Reason::UnitAmbiguous:
        return text("The controller cannot be told apart from the others: its port is unknown and its "
                    "serial number is not its own. Nothing was sent; flash one unit at a time.");
    case FlashFailure::Reason::BootloaderRefused:
        return text("The controller did not take the bootloader command.");
    case FlashFailure::Reason::NoBootloader:
        return text("The controller's bootloader did not come up in time.");
    case FlashFailure::Reason::NoComeback:
        return text("The controller did not come back after the flash.");
    }
    return text("The transfer failed for an unknown reason.");
}
