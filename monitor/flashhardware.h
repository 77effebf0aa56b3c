// The monitor the window uses: it scans only the supported controllers of the scan filter table.
#pragma once

#include "hardwareinterface.h"

class FlashHardware : public HardwareInterface {
    Q_OBJECT
public:
    explicit FlashHardware(QObject *parent = nullptr);
    ~FlashHardware() override = default;

    bool scan() override;
};
