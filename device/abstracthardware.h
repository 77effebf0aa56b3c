// The behaviour interface of a device. Every opened device owns one behaviour object and feeds it
// its input reports; plug-in libraries built separately supply their own implementations, so the
// order of the virtual operations below is part of the plug-in interface and must never change.
//
// This header stands alone: a plug-in author can include it without Qt or anything else of the
// program.
#pragma once

#include <cstdint>

class AbstractHardware {
public:
    virtual ~AbstractHardware() = default;

    virtual int32_t queryA() { return 50; }
    virtual int32_t queryB() { return 0; }
    virtual int32_t queryC() { return 0; }
    virtual int32_t queryD() { return 0; }
    virtual int32_t queryE() { return 0; }
    virtual int32_t queryF() { return 0; }
    virtual int32_t queryG() { return 150; }

    // Called once by the device's constructor with the device's work area.
    virtual void setBuffers(uint8_t *area) { (void)area; }

    // Hands each character of the zero-terminated text to writeCharacter, so an object that
    // overrides only writeCharacter serves writeText too. Returns the text's length.
    virtual uint32_t writeText(uint32_t position, const char *text)
    {
        uint32_t length = 0;
        for (; text != nullptr && text[length] != '\0'; ++length)
            writeCharacter(position + length, static_cast<uint8_t>(text[length]));
        return length;
    }

    virtual bool queryH() { return true; }

    // Called once by discovery after the device passed its acceptance read.
    virtual void deviceAccepted() {}

    virtual void hookA() {}
    virtual void hookB() {}
    virtual void hookC() {}
    virtual void hookD() {}
    virtual void hookE() {}
    virtual void hookF() {}

    virtual void writeCharacter(uint32_t position, uint8_t character)
    {
        (void)position;
        (void)character;
    }

    virtual uint8_t queryI() { return 48; } // the code of the digit zero

    virtual void hookG() {}
    virtual void hookH() {}
    virtual void hookI() {}
    virtual void hookJ() {}
    virtual void hookK() {}

    // Called after every read that returned data, with the report (report-ID byte first) and the
    // number of bytes read.
    virtual void processInput(uint8_t *data, uint32_t bytes)
    {
        (void)data;
        (void)bytes;
    }
};
