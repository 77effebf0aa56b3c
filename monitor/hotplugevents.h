// The hot-plug event source: tells the monitor that a HID device has arrived, so that it scans in
// its next pass instead of waiting for the periodic scan. It holds no thread of its own; the
// monitor asks it once per pass and may spend the pass's sleep waiting on it. Qt-free.
#pragma once

#include <memory>

class HotplugEvents {
public:
    virtual ~HotplugEvents() = default;

    // Waits at most `timeoutMs` milliseconds (0: only looks) for a HID device to arrive. True
    // when at least one arrived since the last call; the arrivals seen are then consumed. Used by
    // one thread at a time.
    virtual bool waitForArrival(int timeoutMs) = 0;
};

// This platform's source of arrivals, or null where the system offers none; the monitor's
// periodic scan then finds new devices alone.
std::unique_ptr<HotplugEvents> openHotplugEvents();
