// dorqin-listen --joystick: the checked stream as a virtual joystick that
// any Linux program can read (evdev, and joydev's /dev/input/js*), made
// through uinput with libevdev.
#pragma once

#include <cstdint>
#include <string>

#include "tools/listen/frame.h"
#include "tools/listen/reconnect.h"

// The device's own identity, so that udev rules and games can tell it from
// the box itself (0003:046D:C630, which the relay reads); on BUS_VIRTUAL.
constexpr char JoystickName[] = "DORQIn Box (dorqin-listen)";
// Bus-virtual IDs are nobody's to assign: D0B0 for the box, 4C53 ("LS") for
// dorqin-listen.
constexpr uint16_t JoystickVendor = 0xD0B0;
constexpr uint16_t JoystickProduct = 0x4C53;
constexpr uint16_t JoystickVersion = 0x0100;

// The value range every axis declares.
struct JoystickRange {
    int32_t Min;
    int32_t Max;
};
constexpr JoystickRange JoystickDefaultRange = {-32768, 32767};

// Reads "MIN:MAX" (signed 32-bit decimals, MIN below MAX) into *range;
// returns false for anything else and leaves *range alone.
bool ParseJoystickRange(const char* text, JoystickRange* range);

// Checks the options that go with --joystick and reads --range's text, when
// given, into *range. Returns 0, or ExitUsage after saying why on standard
// error.
int JoystickArguments(bool json, bool view, bool joystick, const char* rangeText,
                      JoystickRange* range);

// One input event for the virtual device.
struct JoystickInput {
    uint16_t Type;  // EV_ABS or EV_KEY
    uint16_t Code;
    int32_t Value;
};
constexpr int JoystickMaxInputs = 16;  // one per button of a button word

// The inputs one stream event makes: an axis value clamped to the range,
// or a press or release for each bit of the button word that differs from
// *buttons (which is then updated); none for a channel without an axis.
// Returns the count written to out, at most JoystickMaxInputs.
int JoystickMapEvent(const FrameEvent& event, const JoystickRange& range, uint16_t* buttons,
                     JoystickInput* out);

// The middle of the range, where every axis starts and rests.
inline int32_t JoystickCentre(const JoystickRange& range) {
    return static_cast<int32_t>((int64_t(range.Min) + range.Max) / 2);
}

constexpr int JoystickRestInputCount = 16 + 6;

// The inputs that put the device at rest: a release for each button down
// in *buttons (which is then 0) and every axis at the centre of the range.
// Returns the count written to out, at most JoystickRestInputCount.
int JoystickRestInputs(const JoystickRange& range, uint16_t* buttons, JoystickInput* out);

// Opens /dev/uinput for the device to come; returns its descriptor, or -1
// with an English explanation (what to do about it) in *why.
int JoystickOpenUinput(std::string* why);

// Feeds the stream of link to a virtual joystick on uinputFd until q is
// typed on standard input, or SIGINT, SIGTERM or SIGHUP comes; the device
// is removed before it returns. Without --reconnect (link connected
// already) the device is made once the greeting is right, and the end of
// the stream or a malformed frame ends the run too: the exit status is
// then the one the plain mode would give (0 for q while the stream runs).
// With --reconnect the device is made at once and kept through connection
// after connection, at rest while none is up, and the status is 0 after
// q. ExitUsage when the device cannot be made or written. After a signal
// it ends the program by that signal, as the plain mode ends.
int RunJoystick(Reconnect* link, int uinputFd, const JoystickRange& range);
