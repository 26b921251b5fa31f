// HidP_GetCaps and HidP_GetUsageValue, and the box's ReadUsageValue over
// them, on an arbitrary descriptor and an arbitrary report.
//
// Input: descriptor length (2 bytes, little-endian), the descriptor, six
// selector bytes (report type, usage page and usage little-endian, link
// collection), then the report. Missing bytes read as 0.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "box/box.h"
#include "fuzz/check.h"
#include "platform/posix/handles.h"
#include "platform/posix/hid_device.h"

namespace {

HidDescriptor parsed;

struct Input {
    const uint8_t* data;
    size_t size;
    size_t pos;

    uint8_t Byte() { return pos < size ? data[pos++] : 0; }
    uint16_t Word() {
        const uint16_t low = Byte();
        return static_cast<uint16_t>(low | (Byte() << 8));
    }
};

bool Known(NTSTATUS status) {
    return status == HIDP_STATUS_SUCCESS || status == HIDP_STATUS_INVALID_REPORT_LENGTH ||
           status == HIDP_STATUS_INCOMPATIBLE_REPORT_ID || status == HIDP_STATUS_USAGE_NOT_FOUND ||
           status == HIDP_STATUS_INVALID_REPORT_TYPE || status == HIDP_STATUS_BUFFER_TOO_SMALL;
}

USHORT CapsLength(const HIDP_CAPS& caps, int type) {
    return type == HidP_Input    ? caps.InputReportByteLength
           : type == HidP_Output ? caps.OutputReportByteLength
                                 : caps.FeatureReportByteLength;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Input in{data, size, 0};
    size_t descriptorLength = in.Word();
    if (descriptorLength > size - in.pos) descriptorLength = size - in.pos;
    // Exact-size copies throughout, so that a read past an end is caught.
    const std::vector<uint8_t> descriptor(data + in.pos, data + in.pos + descriptorLength);
    in.pos += descriptorLength;
    // Values 0 to 3: the three report types and one that is none of them.
    const int type = in.Byte() & 3;
    const USAGE page = in.Word();
    const USAGE usage = in.Word();
    const USHORT link = in.Byte();
    std::vector<char> report(data + in.pos, data + size);

    const bool accepted =
        ParseHidDescriptor(descriptor.data(), descriptor.size(), &parsed) == kHidParseOk;
    // A device handle as CreateFileA makes one for a HID node.
    HidDevice device{0x046D, 0xC630, 0, accepted ? &parsed : nullptr, 0,
                     accepted ? HidReportByteLength(&parsed, 0, kHidInput) : 0, 0, nullptr};
    HandleObject handle{kFileHandle, -1, nullptr, nullptr, &device};

    PHIDP_PREPARSED_DATA preparsed = nullptr;
    const bool got = HidD_GetPreparsedData(&handle, &preparsed) != FALSE;
    CHECK(got == accepted);
    if (!got) return 0;

    HIDP_CAPS caps;
    CHECK(HidP_GetCaps(preparsed, &caps) == HIDP_STATUS_SUCCESS);
    CHECK(caps.InputReportByteLength == device.inputReportLength);
    CHECK(caps.UsagePage == parsed.tops[0].usagePage && caps.Usage == parsed.tops[0].usage);

    // The report as it came, whatever its length.
    ULONG value = 0;
    NTSTATUS status =
        HidP_GetUsageValue(static_cast<HIDP_REPORT_TYPE>(type), page, link, usage, &value,
                           preparsed, report.empty() ? nullptr : report.data(),
                           static_cast<ULONG>(report.size()));
    CHECK(Known(status));
    CHECK(type != 3 || status == HIDP_STATUS_INVALID_REPORT_TYPE);
    if (type != 3 && report.size() != CapsLength(caps, type)) {
        CHECK(status == HIDP_STATUS_INVALID_REPORT_LENGTH);
    }

    // The same bytes cut or padded to the length the caps give.
    if (type != 3 && CapsLength(caps, type) > 0) {
        std::vector<char> sized(report);
        sized.resize(CapsLength(caps, type), 0);
        status = HidP_GetUsageValue(static_cast<HIDP_REPORT_TYPE>(type), page, link, usage,
                                    &value, preparsed, sized.data(),
                                    static_cast<ULONG>(sized.size()));
        CHECK(Known(status) && status != HIDP_STATUS_INVALID_REPORT_LENGTH);
    }

    // The box's own reader over this device, as the relay calls it.
    if (caps.InputReportByteLength > 0) {
        std::vector<BYTE> input(report.begin(), report.end());
        input.resize(caps.InputReportByteLength, 0);
        BoxState.PreparsedData = preparsed;
        BoxState.InputReport = input.data();
        BoxState.InputReportLength = caps.InputReportByteLength;
        BoxState.ReportType = HidP_Input;
        for (UsageCode code : UsageTable) ReadUsageValue(code);
        BoxState.PreparsedData = nullptr;
        BoxState.InputReport = nullptr;
        BoxState.InputReportLength = 0;
    }

    CHECK(HidD_FreePreparsedData(preparsed));
    return 0;
}
