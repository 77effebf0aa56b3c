/* Report-description records of the HID parser.
 *
 * On Windows these come from the SDK's <hidpi.h>. Elsewhere they are declared here with the same
 * names, field order and sizes, so that callers and plug-ins compile unchanged on both platforms.
 */
#ifndef FLASHER_HIDP_H
#define FLASHER_HIDP_H

#ifdef _WIN32

#include <windows.h>
/* hidpi.h needs USAGE and NTSTATUS declared before it; hidsdi.h declares them and includes it.
 * Neither has its own extern "C" guard in some SDKs. */
#ifdef __cplusplus
extern "C" {
#endif
#include <hidsdi.h>
#ifdef __cplusplus
}
#endif
/* The SDK of the cross toolchain predates the button-capability ReportCount field. */
#define HIDP_BUTTON_CAPS_HAS_REPORT_COUNT 0

#else

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef uint8_t UCHAR;
typedef uint8_t BOOLEAN;
typedef uint16_t USHORT;
typedef uint32_t ULONG;
typedef int32_t LONG;
typedef int32_t NTSTATUS;
typedef USHORT USAGE;
typedef USAGE *PUSAGE;

typedef enum _HIDP_REPORT_TYPE { HidP_Input = 0, HidP_Output = 1, HidP_Feature = 2 } HIDP_REPORT_TYPE;

/* Opaque: the parsed description of one top-level collection. */
typedef struct _HIDP_PREPARSED_DATA *PHIDP_PREPARSED_DATA;

typedef struct _HIDP_CAPS {
    USAGE Usage;
    USAGE UsagePage;
    USHORT InputReportByteLength;
    USHORT OutputReportByteLength;
    USHORT FeatureReportByteLength;
    USHORT Reserved[17];
    USHORT NumberLinkCollectionNodes;
    USHORT NumberInputButtonCaps;
    USHORT NumberInputValueCaps;
    USHORT NumberInputDataIndices;
    USHORT NumberOutputButtonCaps;
    USHORT NumberOutputValueCaps;
    USHORT NumberOutputDataIndices;
    USHORT NumberFeatureButtonCaps;
    USHORT NumberFeatureValueCaps;
    USHORT NumberFeatureDataIndices;
} HIDP_CAPS, *PHIDP_CAPS;

typedef struct _HIDP_CAPS_RANGE {
    USAGE UsageMin, UsageMax;
    USHORT StringMin, StringMax;
    USHORT DesignatorMin, DesignatorMax;
    USHORT DataIndexMin, DataIndexMax;
} HIDP_CAPS_RANGE;

typedef struct _HIDP_CAPS_NOT_RANGE {
    USAGE Usage, Reserved1;
    USHORT StringIndex, Reserved2;
    USHORT DesignatorIndex, Reserved3;
    USHORT DataIndex, Reserved4;
} HIDP_CAPS_NOT_RANGE;

typedef struct _HIDP_BUTTON_CAPS {
    USAGE UsagePage;
    UCHAR ReportID;
    BOOLEAN IsAlias;
    USHORT BitField;
    USHORT LinkCollection;
    USAGE LinkUsage;
    USAGE LinkUsagePage;
    BOOLEAN IsRange;
    BOOLEAN IsStringRange;
    BOOLEAN IsDesignatorRange;
    BOOLEAN IsAbsolute;
    USHORT ReportCount;
    USHORT Reserved2;
    ULONG Reserved[9];
    union {
        HIDP_CAPS_RANGE Range;
        HIDP_CAPS_NOT_RANGE NotRange;
    };
} HIDP_BUTTON_CAPS, *PHIDP_BUTTON_CAPS;
#define HIDP_BUTTON_CAPS_HAS_REPORT_COUNT 1

typedef struct _HIDP_VALUE_CAPS {
    USAGE UsagePage;
    UCHAR ReportID;
    BOOLEAN IsAlias;
    USHORT BitField;
    USHORT LinkCollection;
    USAGE LinkUsage;
    USAGE LinkUsagePage;
    BOOLEAN IsRange;
    BOOLEAN IsStringRange;
    BOOLEAN IsDesignatorRange;
    BOOLEAN IsAbsolute;
    BOOLEAN HasNull;
    UCHAR Reserved;
    USHORT BitSize;
    USHORT ReportCount;
    USHORT Reserved2[5];
    ULONG UnitsExp;
    ULONG Units;
    LONG LogicalMin, LogicalMax;
    LONG PhysicalMin, PhysicalMax;
    union {
        HIDP_CAPS_RANGE Range;
        HIDP_CAPS_NOT_RANGE NotRange;
    };
} HIDP_VALUE_CAPS, *PHIDP_VALUE_CAPS;

typedef struct _HIDP_LINK_COLLECTION_NODE {
    USAGE LinkUsage;
    USAGE LinkUsagePage;
    USHORT Parent;
    USHORT NumberOfChildren;
    USHORT NextSibling;
    USHORT FirstChild;
    ULONG CollectionType : 8;
    ULONG IsAlias : 1;
    ULONG Reserved : 23;
    void *UserContext;
} HIDP_LINK_COLLECTION_NODE, *PHIDP_LINK_COLLECTION_NODE;

typedef struct _HIDP_DATA {
    USHORT DataIndex;
    USHORT Reserved;
    union {
        ULONG RawValue;
        BOOLEAN On;
    };
} HIDP_DATA, *PHIDP_DATA;

#define HIDP_STATUS_CODE(sev, code) ((NTSTATUS)((((ULONG)(sev)) << 28) | (0x11UL << 16) | (code)))
#define HIDP_STATUS_SUCCESS HIDP_STATUS_CODE(0x0, 0)
#define HIDP_STATUS_NULL HIDP_STATUS_CODE(0x8, 1)
#define HIDP_STATUS_INVALID_PREPARSED_DATA HIDP_STATUS_CODE(0xC, 1)
#define HIDP_STATUS_INVALID_REPORT_TYPE HIDP_STATUS_CODE(0xC, 2)
#define HIDP_STATUS_INVALID_REPORT_LENGTH HIDP_STATUS_CODE(0xC, 3)
#define HIDP_STATUS_USAGE_NOT_FOUND HIDP_STATUS_CODE(0xC, 4)
#define HIDP_STATUS_VALUE_OUT_OF_RANGE HIDP_STATUS_CODE(0xC, 5)
#define HIDP_STATUS_BAD_LOG_PHY_VALUES HIDP_STATUS_CODE(0xC, 6)
#define HIDP_STATUS_BUFFER_TOO_SMALL HIDP_STATUS_CODE(0xC, 7)
#define HIDP_STATUS_INTERNAL_ERROR HIDP_STATUS_CODE(0xC, 8)
#define HIDP_STATUS_I8042_TRANS_UNKNOWN HIDP_STATUS_CODE(0xC, 9)
#define HIDP_STATUS_INCOMPATIBLE_REPORT_ID HIDP_STATUS_CODE(0xC, 0xA)
#define HIDP_STATUS_NOT_VALUE_ARRAY HIDP_STATUS_CODE(0xC, 0xB)
#define HIDP_STATUS_IS_VALUE_ARRAY HIDP_STATUS_CODE(0xC, 0xC)
#define HIDP_STATUS_DATA_INDEX_NOT_FOUND HIDP_STATUS_CODE(0xC, 0xD)
#define HIDP_STATUS_DATA_INDEX_OUT_OF_RANGE HIDP_STATUS_CODE(0xC, 0xE)
#define HIDP_STATUS_BUTTON_NOT_PRESSED HIDP_STATUS_CODE(0xC, 0xF)
#define HIDP_STATUS_REPORT_DOES_NOT_EXIST HIDP_STATUS_CODE(0xC, 0x10)
#define HIDP_STATUS_NOT_IMPLEMENTED HIDP_STATUS_CODE(0xC, 0x20)

#ifdef __cplusplus
}
#endif

#endif /* _WIN32 */

#endif /* FLASHER_HIDP_H */
