// The device protocol: the bootloader command and the firmware transfer, both as feature reports.
#include "inputdevice.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "firmwareblocks.h"
#include "flashfailure.h"

namespace {

// The bootloader command: one feature report of 54 bytes, report-ID byte 0 included, that starts
// with these bytes and is zero after them, whatever the device's feature report length.
constexpr size_t bootloaderReportSize = 54;
constexpr uint8_t bootloaderCommand[] = {0x00, 0xDE, 0xFA, 0xCE};
static_assert(sizeof bootloaderCommand <= bootloaderReportSize);

// Intermediate progress in percent of the image, never above 100. Images shorter than 100 bytes
// cannot use whole hundredths of their length as the unit.
uint progressPercent(uint64_t sent, uint32_t imageLength)
{
    const uint64_t percent = imageLength >= 100 ? sent / (imageLength / 100) : sent * 100 / imageLength;
    return static_cast<uint>(std::min<uint64_t>(percent, 100));
}

// Records why the transfer stopped, for callers that asked.
bool fail(FlashFailure *failure, FlashFailure::Reason reason, uint32_t block = 0, uint32_t blocks = 0)
{
    if (failure != nullptr)
        *failure = {reason, block, blocks};
    return false;
}

} // namespace

bool InputDevice::enterBootloader()
{
    uint8_t report[bootloaderReportSize] = {};
    std::copy(std::begin(bootloaderCommand), std::end(bootloaderCommand), report);
    return hid_send_feature_report(m_handle, report, sizeof report) >= 0;
}

FlashFailure readFirmwareImage(const QString &fileName, QByteArray &image)
{
    image.clear();
    // Only a regular file has a known length and an end: opening a FIFO waits for a writer that
    // may never come, and a device such as /dev/zero would be read until memory runs out.
    const QFileInfo info(fileName);
    if (info.exists() && !info.isFile()) {
        qDebug() << fileName << " is not a regular file";
        return {FlashFailure::Reason::NotARegularFile};
    }
    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly)) {
        qDebug() << fileName << " Can't open for reading";
        return {FlashFailure::Reason::FileUnreadable};
    }
    // The name may have been given to something else between the look and the open; from here on
    // every check is on the opened file, whose bytes are the ones sent.
    if (file.isSequential()) {
        qDebug() << fileName << " is not a regular file";
        return {FlashFailure::Reason::NotARegularFile};
    }
    if (static_cast<quint64>(file.size()) > MaxFirmwareImageSize) {
        qDebug() << fileName << " is too large for a firmware image";
        return {FlashFailure::Reason::FileTooLarge};
    }
    QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError) {
        qDebug() << fileName << " Can't open for reading";
        return {FlashFailure::Reason::FileUnreadable};
    }
    // A file that grew after the size check is judged by what was read.
    if (static_cast<quint64>(bytes.size()) > MaxFirmwareImageSize) {
        qDebug() << fileName << " is too large for a firmware image";
        return {FlashFailure::Reason::FileTooLarge};
    }
    if (bytes.isEmpty()) {
        qDebug() << fileName << " is empty";
        return {FlashFailure::Reason::FileEmpty};
    }
    image = std::move(bytes);
    return {};
}

bool InputDevice::flashFirmware(QString fileName, FlashFailure *failure)
{
    QByteArray image;
    const FlashFailure problem = readFirmwareImage(fileName, image);
    if (problem.reason != FlashFailure::Reason::None) {
        if (failure != nullptr)
            *failure = problem;
        return false;
    }
    return flashImage(image, failure);
}

bool InputDevice::stillPresent()
{
    // A read that fails is how the monitor learns that a device left; one that times out or
    // delivers a report says it is still there.
    uint8_t report[ReportSize];
    const size_t length = std::min<size_t>(m_caps.InputReportByteLength, sizeof report);
    return hid_read_timeout(m_handle, report, length, 0) >= 0;
}

// Sends the image as the blocks of firmwareblocks.h, one feature report each.
bool InputDevice::flashImage(const QByteArray &image, FlashFailure *failure)
{
    if (failure != nullptr)
        *failure = {};
    const size_t blockSize = m_caps.FeatureReportByteLength;
    if (blockSize < firmware::MinBlockSize) {
        qDebug() << "Feature report too short for firmware blocks:" << blockSize;
        return fail(failure, FlashFailure::Reason::NoFirmwareBlocks);
    }
    if (static_cast<quint64>(image.size()) > MaxFirmwareImageSize)
        return fail(failure, FlashFailure::Reason::FileTooLarge);
    const auto imageLength = static_cast<uint32_t>(image.size());
    const auto *imageBytes = reinterpret_cast<const uint8_t *>(image.constData());

    std::vector<uint8_t> block(blockSize, 0);
    const size_t blocks = firmware::blockCount(imageLength, blockSize);
    // An image of at most 4 GiB makes far fewer than 2^32 blocks of two bytes or more.
    const auto blockTotal = static_cast<uint32_t>(blocks);
    uint64_t sent = 0;
    for (size_t index = 0; index < blocks; ++index) {
        const size_t fill = firmware::fillBlock(imageBytes, imageLength, index, block.data(), blockSize);
        const int taken = hid_send_feature_report(m_handle, block.data(), blockSize);
        const auto number = static_cast<uint32_t>(index + 1);
        if (taken < 0) {
            qDebug() << "Unable to send firmware block" << fill;
            // A controller pulled mid-transfer is not one that refused: the user must know that it
            // left, half-written, rather than look for a fault in the image.
            return fail(failure,
                        stillPresent() ? FlashFailure::Reason::BlockRefused : FlashFailure::Reason::Vanished,
                        number, blockTotal);
        }
        if (static_cast<size_t>(taken) != blockSize) {
            qDebug() << "Firmware block taken only in part:" << taken << "of" << blockSize;
            return fail(failure, FlashFailure::Reason::BlockIncomplete, number, blockTotal);
        }
        // The printf form says the same as the stream form ("sent:  65") at a fraction of its
        // cost; this line comes once per block, between two calls to the device.
        qDebug("Firmware block sent:  %zu", fill);
        if (index + 1 < blocks) {
            sent += blockSize;
            emit flashTick(imageLength, progressPercent(sent, imageLength));
        }
    }
    // The last tick is a percentage like the others, so that a bar ends full.
    emit flashTick(imageLength, 100);
    return true;
}
