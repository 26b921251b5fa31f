// dorqin-listen --joystick on this side of uinput: which evdev input each
// stream event becomes, and the --range option. The device itself, and
// every way it goes, is read back in the VM test (tests/vm/joystick.sh).
#include <linux/input.h>

#include <gtest/gtest.h>

#include <string>

#include "tools/listen/joystick.h"

namespace {

std::string Inputs(const FrameEvent& event, const JoystickRange& range, uint16_t* buttons) {
    JoystickInput out[JoystickMaxInputs];
    int count = JoystickMapEvent(event, range, buttons, out);
    std::string text;
    for (int i = 0; i < count; ++i) {
        char item[48];
        snprintf(item, sizeof item, "%s%s 0x%03x %d", text.empty() ? "" : ", ",
                 out[i].Type == EV_ABS ? "abs" : out[i].Type == EV_KEY ? "key" : "?", out[i].Code,
                 out[i].Value);
        text += item;
    }
    return text;
}

TEST(Joystick, EachChannelGoesToItsAxisAndEachButtonBitToItsButton) {
    const JoystickRange range = JoystickDefaultRange;
    uint16_t buttons = 0;
    struct Case {
        FrameEvent Event;
        const char* Inputs;
    } cases[] = {
        {{3, 0, 700}, "abs 0x000 700"},     // X (and Ry)
        {{3, 1, -512}, "abs 0x001 -512"},   // Y (and Rz)
        {{3, 2, -32768}, "abs 0x002 -32768"},
        {{3, 3, 32767}, "abs 0x003 32767"},  // Rx
        {{2, 2, 7}, "abs 0x006 7"},          // slider: throttle
        {{2, 3, -5}, "abs 0x007 -5"},        // dial: rudder
        // Channels without an axis.
        {{2, 0, 1}, ""},
        {{2, 1, 1}, ""},
        {{3, 4, 1}, ""},
        {{3, -1, 1}, ""},
        {{4, 0, 1}, ""},
        // The word is in ID; bit 0 is BTN_TRIGGER, bit 15 BTN_DEAD.
        {{1, 0x0005, 1}, "key 0x120 1, key 0x122 1"},
        {{1, -32768 | 0x0004, 1}, "key 0x120 0, key 0x12f 1"},
        {{1, -32768 | 0x0004, 1}, ""},  // the same word again changes nothing
        // Bits above 16 are not buttons.
        {{1, 0x10000, 1}, "key 0x122 0, key 0x12f 0"},
        {{1, -1, 1}, "key 0x120 1, key 0x121 1, key 0x122 1, key 0x123 1, key 0x124 1, "
                     "key 0x125 1, key 0x126 1, key 0x127 1, key 0x128 1, key 0x129 1, "
                     "key 0x12a 1, key 0x12b 1, key 0x12c 1, key 0x12d 1, key 0x12e 1, "
                     "key 0x12f 1"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Inputs(c.Event, range, &buttons), c.Inputs)
            << "TYP " << c.Event.Typ << " ID " << c.Event.Id << " VALUE " << c.Event.Value;
    }
}

TEST(Joystick, ValuesBeyondTheRangeAreHeldAtItsEnds) {
    const JoystickRange tenBit = {0, 1023};
    uint16_t buttons = 0;
    EXPECT_EQ(Inputs({3, 0, 0}, tenBit, &buttons), "abs 0x000 0");
    EXPECT_EQ(Inputs({3, 0, 1022}, tenBit, &buttons), "abs 0x000 1022");
    EXPECT_EQ(Inputs({3, 2, -1}, tenBit, &buttons), "abs 0x002 0");
    EXPECT_EQ(Inputs({2, 3, 1024}, tenBit, &buttons), "abs 0x007 1023");
    EXPECT_EQ(Inputs({3, 1, INT32_MIN}, JoystickDefaultRange, &buttons), "abs 0x001 -32768");
    EXPECT_EQ(Inputs({3, 1, INT32_MAX}, JoystickDefaultRange, &buttons), "abs 0x001 32767");
}

TEST(Joystick, AtRestEveryButtonDownIsReleasedAndEveryAxisCentred) {
    JoystickInput out[JoystickRestInputCount];
    uint16_t buttons = 0x8005;  // buttons 1, 3 and 16 held when the link went
    int count = JoystickRestInputs({0, 1023}, &buttons, out);
    std::string text;
    for (int i = 0; i < count; ++i) {
        char item[48];
        snprintf(item, sizeof item, "%s%s 0x%03x %d", i ? ", " : "",
                 out[i].Type == EV_ABS ? "abs" : "key", out[i].Code, out[i].Value);
        text += item;
    }
    EXPECT_EQ(text,
              "key 0x120 0, key 0x122 0, key 0x12f 0, abs 0x000 511, abs 0x001 511, "
              "abs 0x002 511, abs 0x003 511, abs 0x006 511, abs 0x007 511");
    EXPECT_EQ(buttons, 0);
    // The next connection's first button word presses again what it holds.
    EXPECT_EQ(Inputs({1, 0x0001, 1}, {0, 1023}, &buttons), "key 0x120 1");
    // The widest range has its middle at 0, with no overflow on the way.
    buttons = 0;
    count = JoystickRestInputs({INT32_MIN, INT32_MAX}, &buttons, out);
    ASSERT_EQ(count, 6);
    EXPECT_EQ(out[0].Value, 0);
    EXPECT_EQ(JoystickCentre({-10, 2147483647}), 1073741818);
}

TEST(Joystick, RangeIsMinColonMaxWithMinBelowMax) {
    JoystickRange range = {1, 2};
    for (const char* bad : {"", "5", ":5", "5:", "5:5", "10:0", "0:1023x", "+1:5", "0x0:10",
                            "0:2147483648", "-2147483649:0", "0 :10", "0:-"}) {
        EXPECT_FALSE(ParseJoystickRange(bad, &range)) << bad;
        EXPECT_EQ(range.Min, 1);
        EXPECT_EQ(range.Max, 2);
    }
    ASSERT_TRUE(ParseJoystickRange("0:1023", &range));
    EXPECT_EQ(range.Min, 0);
    EXPECT_EQ(range.Max, 1023);
    ASSERT_TRUE(ParseJoystickRange("-2147483648:2147483647", &range));
    EXPECT_EQ(range.Min, INT32_MIN);
    EXPECT_EQ(range.Max, INT32_MAX);
}

}  // namespace
