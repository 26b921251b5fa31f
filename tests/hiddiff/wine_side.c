/* The Windows side of the HID differential test: a 64-bit Windows console
 * program, run under wine64, that builds preparsed data from raw report
 * descriptors with hidparse.sys's HidP_GetCollectionDescription (what the
 * HID class driver does for a device) and answers HidP_GetCaps and
 * HidP_GetUsageValue from hid.dll on it.
 *
 * A line protocol on standard input and output, one case at a time:
 *   D <hex>          parse this descriptor; answers
 *                    "P <status> <collections>" and one "C ..." line each
 *   Q <p> <u> <l>... the queries (usage page, usage, link collection, hex)
 *                    for the V lines that follow
 *   V <c> <hex>      the report, copied into a zeroed buffer of collection
 *                    c's InputReportByteLength (cut there if longer); answers
 *                    "v" and one "<status>:<value>" per query
 *   E                end of case; answers "."
 *   F                flushes the answers (the driver sends cases in batches)
 * Numbers are hex. Only hidparse.sys's exported entry points and hid.dll's
 * public functions are used. */
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <hidsdi.h>
#include <hidpi.h>

/* From the WDK's hidpddi.h, as Microsoft documents the structures. */
typedef struct {
    USAGE UsagePage;
    USAGE Usage;
    UCHAR CollectionNumber;
    UCHAR Reserved[15];
    USHORT InputLength;
    USHORT OutputLength;
    USHORT FeatureLength;
    USHORT PreparsedDataLength;
    PHIDP_PREPARSED_DATA PreparsedData;
} CollectionDesc;

typedef struct {
    UCHAR ReportID;
    UCHAR CollectionNumber;
    USHORT InputLength;
    USHORT OutputLength;
    USHORT FeatureLength;
} ReportIds;

typedef struct {
    CollectionDesc* CollectionDesc;
    ULONG CollectionDescLength;
    ReportIds* ReportIDs;
    ULONG ReportIDsLength;
    ULONG Dbg[8];
} DeviceDesc;

typedef NTSTATUS(WINAPI* GetCollectionDescriptionFn)(PUCHAR, ULONG, int, DeviceDesc*);
typedef void(WINAPI* FreeCollectionDescriptionFn)(DeviceDesc*);

enum { kMaxLine = 1 << 20, kMaxQueries = 512, kMaxBytes = 1 << 16 };

static char line[kMaxLine];
static unsigned char bytes[kMaxBytes];
static unsigned char report[kMaxBytes];
static USHORT queryPage[kMaxQueries], queryUsage[kMaxQueries], queryLink[kMaxQueries];
static int queryCount;

static int HexNibble(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

/* Hex digits up to the end of the string; -1 on anything else. */
static long ParseHex(const char* text, unsigned char* out, long capacity) {
    long n = 0;
    while (*text && *text != '\n' && *text != '\r') {
        int hi = HexNibble(text[0]);
        int lo = hi < 0 ? -1 : HexNibble(text[1]);
        if (lo < 0 || n == capacity) return -1;
        out[n++] = (unsigned char)(hi << 4 | lo);
        text += 2;
    }
    return n;
}

int main(void) {
    HMODULE parser = LoadLibraryA("C:\\windows\\system32\\drivers\\hidparse.sys");
    if (!parser) {
        printf("! LoadLibrary hidparse.sys failed: %lu\n", GetLastError());
        return 2;
    }
    GetCollectionDescriptionFn getDescription =
        (GetCollectionDescriptionFn)(void (*)(void))GetProcAddress(parser, "HidP_GetCollectionDescription");
    FreeCollectionDescriptionFn freeDescription =
        (FreeCollectionDescriptionFn)(void (*)(void))GetProcAddress(parser, "HidP_FreeCollectionDescription");
    if (!getDescription || !freeDescription) {
        printf("! hidparse.sys lacks HidP_GetCollectionDescription\n");
        return 2;
    }
    printf("ready\n");
    fflush(stdout);

    DeviceDesc desc;
    int haveDesc = 0;
    while (fgets(line, sizeof line, stdin)) {
        if (line[0] == 'D') {
            if (haveDesc) freeDescription(&desc);
            haveDesc = 0;
            memset(&desc, 0, sizeof desc);
            long n = ParseHex(line + 2, bytes, kMaxBytes);
            if (n < 0) {
                printf("! bad D line\n");
                return 2;
            }
            NTSTATUS status = getDescription(bytes, (ULONG)n, 0 /* NonPagedPool */, &desc);
            haveDesc = status == HIDP_STATUS_SUCCESS;
            printf("P %lx %lu\n", (unsigned long)status, haveDesc ? desc.CollectionDescLength : 0ul);
            for (ULONG i = 0; haveDesc && i < desc.CollectionDescLength; ++i) {
                HIDP_CAPS caps;
                memset(&caps, 0, sizeof caps);
                NTSTATUS s = HidP_GetCaps(desc.CollectionDesc[i].PreparsedData, &caps);
                printf("C %lx %x %x %x %x %x %x %x %x %x %x %x %x %x %x %x %x\n", (unsigned long)s,
                       caps.UsagePage, caps.Usage, caps.InputReportByteLength,
                       caps.OutputReportByteLength, caps.FeatureReportByteLength,
                       caps.NumberLinkCollectionNodes, caps.NumberInputButtonCaps,
                       caps.NumberInputValueCaps, caps.NumberInputDataIndices,
                       caps.NumberOutputButtonCaps, caps.NumberOutputValueCaps,
                       caps.NumberOutputDataIndices, caps.NumberFeatureButtonCaps,
                       caps.NumberFeatureValueCaps, caps.NumberFeatureDataIndices,
                       desc.CollectionDesc[i].InputLength);
            }
        } else if (line[0] == 'Q') {
            queryCount = 0;
            char* p = line + 1;
            for (;;) {
                char* end;
                unsigned long page = strtoul(p, &end, 16);
                if (end == p) break;
                p = end;
                unsigned long usage = strtoul(p, &end, 16);
                p = end;
                unsigned long link = strtoul(p, &end, 16);
                p = end;
                if (queryCount == kMaxQueries) return 2;
                queryPage[queryCount] = (USHORT)page;
                queryUsage[queryCount] = (USHORT)usage;
                queryLink[queryCount] = (USHORT)link;
                ++queryCount;
            }
        } else if (line[0] == 'V') {
            char* end;
            unsigned long collection = strtoul(line + 1, &end, 16);
            long n = ParseHex(end + 1, bytes, kMaxBytes);
            printf("v");
            if (n < 0 || !haveDesc || collection >= desc.CollectionDescLength) {
                printf("\n");  /* no preparsed data: no answers */
                continue;
            }
            PHIDP_PREPARSED_DATA data = desc.CollectionDesc[collection].PreparsedData;
            HIDP_CAPS caps;
            HidP_GetCaps(data, &caps);
            ULONG length = caps.InputReportByteLength;
            memset(report, 0, length);
            memcpy(report, bytes, (ULONG)n < length ? (size_t)n : length);
            for (int q = 0; q < queryCount; ++q) {
                ULONG value = 0xDEADBEEF;
                NTSTATUS s = HidP_GetUsageValue(HidP_Input, queryPage[q], queryLink[q],
                                                queryUsage[q], &value, data, (PCHAR)report,
                                                length);
                if (s != HIDP_STATUS_SUCCESS) value = 0;
                printf(" %lx:%lx", (unsigned long)s, (unsigned long)value);
            }
            printf("\n");
        } else if (line[0] == 'E') {
            printf(".\n");
        } else if (line[0] == 'F') {
            fflush(stdout);
        }
    }
    return 0;
}
