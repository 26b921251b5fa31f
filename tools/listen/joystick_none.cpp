// A build without the virtual joystick: the Windows build (it is made
// through Linux's uinput) and a Linux build made without libevdev. main
// refuses --joystick before connecting (ClientLacksMode), and these answer
// the same way should anything ask.
#include <cstdio>

#include "tools/listen/joystick.h"
#include "tools/listen/stream.h"

int JoystickArguments(bool, bool, bool joystick, const char* rangeText, JoystickRange*) {
    if (!joystick && !rangeText) return 0;
    fprintf(stderr, "dorqin-listen: --joystick and --range are not available in this build\n");
    return ExitUsage;
}

int JoystickOpenUinput(std::string* why) {
    *why = "--joystick is not available in this build of dorqin-listen";
    return -1;
}

int RunJoystick(Reconnect*, int, const JoystickRange&) { return ExitUsage; }
