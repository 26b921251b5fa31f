#include "tools/boxsim/report.h"

// A Generic Desktop / Joystick application collection, like the real box's
// top-level collection, with one input report per group of readings.
const unsigned char BoxsimDescriptor[] = {
    0x05, 0x01,        // Usage Page (Generic Desktop)
    0x09, 0x04,        // Usage (Joystick)
    0xA1, 0x01,        // Collection (Application)
    0x85, 0x01,        //   Report ID (1)
    0x05, 0x09,        //   Usage Page (Button)
    0x19, 0x01,        //   Usage Minimum (1)
    0x29, 0x10,        //   Usage Maximum (16)
    0x15, 0x00,        //   Logical Minimum (0)
    0x25, 0x01,        //   Logical Maximum (1)
    0x75, 0x01,        //   Report Size (1)
    0x95, 0x10,        //   Report Count (16)
    0x81, 0x02,        //   Input (Data,Var,Abs)
    0x85, 0x02,        //   Report ID (2)
    0x05, 0x01,        //   Usage Page (Generic Desktop)
    0x09, 0x30,        //   Usage (X)
    0x09, 0x31,        //   Usage (Y)
    0x15, 0x00,        //   Logical Minimum (0)
    0x26, 0xFF, 0x03,  //   Logical Maximum (1023)
    0x75, 0x0A,        //   Report Size (10)
    0x95, 0x02,        //   Report Count (2)
    0x81, 0x02,        //   Input (Data,Var,Abs)
    0x75, 0x04,        //   Report Size (4)
    0x95, 0x01,        //   Report Count (1)
    0x81, 0x03,        //   Input (Const,Var,Abs): pads X and Y to 3 bytes
    0x85, 0x03,        //   Report ID (3)
    0x09, 0x32,        //   Usage (Z)
    0x09, 0x33,        //   Usage (Rx)
    0x16, 0x00, 0x80,  //   Logical Minimum (-32768)
    0x26, 0xFF, 0x7F,  //   Logical Maximum (32767)
    0x75, 0x10,        //   Report Size (16)
    0x95, 0x02,        //   Report Count (2)
    0x81, 0x02,        //   Input (Data,Var,Abs)
    0x85, 0x04,        //   Report ID (4)
    0x09, 0x34,        //   Usage (Ry)
    0x09, 0x35,        //   Usage (Rz)
    0x81, 0x02,        //   Input (Data,Var,Abs)
    0x85, 0x05,        //   Report ID (5)
    0x09, 0x36,        //   Usage (Slider)
    0x09, 0x37,        //   Usage (Dial)
    0x81, 0x02,        //   Input (Data,Var,Abs)
    0x85, 0x06,        //   Report ID (6)
    0x06, 0x00, 0xFF,  //   Usage Page (Vendor Defined 0xFF00)
    0x09, 0x01,        //   Usage (0x01)
    0x15, 0x00,        //   Logical Minimum (0)
    0x26, 0xFF, 0x00,  //   Logical Maximum (255)
    0x75, 0x08,        //   Report Size (8)
    0x95, 0x01,        //   Report Count (1)
    0x81, 0x02,        //   Input (Data,Var,Abs)
    0xC0,              // End Collection
};
const size_t BoxsimDescriptorSize = sizeof BoxsimDescriptor;

namespace {

bool InRange(long value, long minimum, long maximum, const char* what, std::string* error) {
    if (value >= minimum && value <= maximum) return true;
    if (error) {
        *error = std::string(what) + " " + std::to_string(value) + " does not fit (" +
                 std::to_string(minimum) + " to " + std::to_string(maximum) + ")";
    }
    return false;
}

void PutWord(unsigned char* at, long value) {
    unsigned raw = static_cast<unsigned>(value) & 0xFFFFu;
    at[0] = static_cast<unsigned char>(raw & 0xFF);
    at[1] = static_cast<unsigned char>(raw >> 8);
}

}  // namespace

size_t ReportLength(int reportId) {
    switch (reportId) {
    case ReportButtons: return 3;
    case ReportXY: return 4;
    case ReportZRx:
    case ReportRyRz:
    case ReportSliderDial: return 5;
    case ReportStatus: return 2;
    default: return 0;
    }
}

int EncodeReport(int reportId, long a, long b, unsigned char* out, size_t capacity,
                 std::string* error) {
    size_t length = ReportLength(reportId);
    if (length == 0) {
        if (error) *error = "report ID " + std::to_string(reportId) + " is not declared";
        return -1;
    }
    if (capacity < length) {
        if (error) *error = "no room for report " + std::to_string(reportId);
        return -1;
    }
    switch (reportId) {
    case ReportButtons:
        if (!InRange(a, 0, 0xFFFF, "button word", error)) return -1;
        PutWord(out + 1, a);
        break;
    case ReportXY: {
        if (!InRange(a, 0, 1023, "X", error) || !InRange(b, 0, 1023, "Y", error)) return -1;
        // X in bits 0-9, Y in bits 10-19, bits 20-23 the padding.
        unsigned long bits = static_cast<unsigned long>(a) | (static_cast<unsigned long>(b) << 10);
        out[1] = static_cast<unsigned char>(bits & 0xFF);
        out[2] = static_cast<unsigned char>((bits >> 8) & 0xFF);
        out[3] = static_cast<unsigned char>((bits >> 16) & 0x0F);
        break;
    }
    case ReportZRx:
    case ReportRyRz:
    case ReportSliderDial: {
        static const char* const names[][2] = {{"Z", "Rx"}, {"Ry", "Rz"}, {"Slider", "Dial"}};
        const char* const* name = names[reportId - ReportZRx];
        if (!InRange(a, -32768, 65535, name[0], error) ||
            !InRange(b, -32768, 65535, name[1], error))
            return -1;
        PutWord(out + 1, a);
        PutWord(out + 3, b);
        break;
    }
    case ReportStatus:
        if (!InRange(a, 0, 255, "status byte", error)) return -1;
        out[1] = static_cast<unsigned char>(a);
        break;
    }
    out[0] = static_cast<unsigned char>(reportId);
    return static_cast<int>(length);
}
