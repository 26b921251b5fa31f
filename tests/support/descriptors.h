// Report descriptors shared by the tests, written out item by item.
#pragma once

#include <cstdint>
#include <vector>

// The box as this project builds it: Joystick, report 1 the 16 buttons,
// reports 2 to 5 two 16-bit axes each (X/Y, Z/Rx, Ry/Rz, Slider/Dial).
// Slider and Dial are signed (-32768..32767), the others 0..1023.
// Input reports are 1 + 4 bytes long at most, so the caps length is 5.
inline std::vector<uint8_t> BoxDescriptor() {
    return {
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
        0x81, 0x02,        //   Input (Data, Variable, Absolute)
        0x05, 0x01,        //   Usage Page (Generic Desktop)
        0x26, 0xFF, 0x03,  //   Logical Maximum (1023)
        0x75, 0x10,        //   Report Size (16)
        0x95, 0x02,        //   Report Count (2)
        0x85, 0x02,        //   Report ID (2)
        0x09, 0x30,        //   Usage (X)
        0x09, 0x31,        //   Usage (Y)
        0x81, 0x02,        //   Input
        0x85, 0x03,        //   Report ID (3)
        0x09, 0x32,        //   Usage (Z)
        0x09, 0x33,        //   Usage (Rx)
        0x81, 0x02,        //   Input
        0x85, 0x04,        //   Report ID (4)
        0x09, 0x34,        //   Usage (Ry)
        0x09, 0x35,        //   Usage (Rz)
        0x81, 0x02,        //   Input
        0x85, 0x05,        //   Report ID (5)
        0x16, 0x00, 0x80,  //   Logical Minimum (-32768)
        0x26, 0xFF, 0x7F,  //   Logical Maximum (32767)
        0x09, 0x36,        //   Usage (Slider)
        0x09, 0x37,        //   Usage (Dial)
        0x81, 0x02,        //   Input
        0xC0,              // End Collection
    };
}

// The same identity's other face: a Game Pad collection.
inline std::vector<uint8_t> GamePadDescriptor() {
    std::vector<uint8_t> d = BoxDescriptor();
    d[3] = 0x05;  // Usage (Game Pad)
    return d;
}

// A Joystick whose report 2 holds X and Y as 10-bit signed axes
// (-512..511) and 4 bits of padding: caps length 4.
inline std::vector<uint8_t> TenBitJoystickDescriptor() {
    return {
        0x05, 0x01, 0x09, 0x04, 0xA1, 0x01,
        0x85, 0x02,              // Report ID (2)
        0x16, 0x00, 0xFE,        // Logical Minimum (-512)
        0x26, 0xFF, 0x01,        // Logical Maximum (511)
        0x09, 0x30, 0x09, 0x31,  // X, Y
        0x75, 0x0A, 0x95, 0x02,  // 2 x 10 bits
        0x81, 0x02,
        0x75, 0x04, 0x95, 0x01, 0x81, 0x03,  // 4 bits of padding
        0xC0,
    };
}

// A Joystick whose only input report is the ID and one data byte.
inline std::vector<uint8_t> ShortReportJoystickDescriptor() {
    return {0x05, 0x01, 0x09, 0x04, 0xA1, 0x01, 0x85, 0x01, 0x09, 0x30,
            0x75, 0x08, 0x95, 0x01, 0x81, 0x02, 0xC0};
}

// A Joystick with a 7-byte input report and no report IDs: caps length 8.
inline std::vector<uint8_t> EightByteJoystickDescriptor() {
    return {
        0x05, 0x01, 0x09, 0x04, 0xA1, 0x01,
        0x09, 0x30, 0x09, 0x31, 0x09, 0x32,  // X, Y, Z
        0x75, 0x10, 0x95, 0x03, 0x81, 0x02,  // 3 x 16 bits
        0x09, 0x36, 0x75, 0x08, 0x95, 0x01, 0x81, 0x02,  // Slider, 8 bits
        0xC0,
    };
}
