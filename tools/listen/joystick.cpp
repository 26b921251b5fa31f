#include "tools/listen/joystick.h"

#include <fcntl.h>
#include <libevdev/libevdev-uinput.h>
#include <libevdev/libevdev.h>
#include <linux/input.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tools/listen/reconnect.h"
#include "tools/listen/stream.h"

namespace {

constexpr char UinputPath[] = "/dev/uinput";

// TYP 3 channels 0-3, then TYP 2 channels 2 and 3.
constexpr uint16_t Typ3Axes[4] = {ABS_X, ABS_Y, ABS_Z, ABS_RX};
constexpr uint16_t Typ2Axes[2] = {ABS_THROTTLE, ABS_RUDDER};

bool ParseInt32(const char* begin, const char* end, int32_t* value) {
    if (begin == end) return false;
    bool negative = *begin == '-';
    if (negative) ++begin;
    if (begin == end) return false;
    int64_t magnitude = 0;
    for (const char* c = begin; c != end; ++c) {
        if (*c < '0' || *c > '9') return false;
        magnitude = magnitude * 10 + (*c - '0');
        if (magnitude > int64_t(INT32_MAX) + 1) return false;
    }
    int64_t result = negative ? -magnitude : magnitude;
    if (result > INT32_MAX) return false;
    *value = static_cast<int32_t>(result);
    return true;
}

// The device: six axes over the range, each starting at its centre (so a
// game sees a stick at rest before the first event, not one pushed to a
// corner), and 16 joystick buttons.
int CreateDevice(int uinputFd, const JoystickRange& range, libevdev_uinput** device,
                 std::string* why) {
    libevdev* description = libevdev_new();
    if (!description) {
        *why = "cannot describe the virtual joystick: out of memory";
        return -ENOMEM;
    }
    libevdev_set_name(description, JoystickName);
    libevdev_set_id_bustype(description, BUS_VIRTUAL);
    libevdev_set_id_vendor(description, JoystickVendor);
    libevdev_set_id_product(description, JoystickProduct);
    libevdev_set_id_version(description, JoystickVersion);

    input_absinfo axis = {};
    axis.minimum = range.Min;
    axis.maximum = range.Max;
    axis.value = JoystickCentre(range);
    libevdev_enable_event_type(description, EV_ABS);
    for (uint16_t code : Typ3Axes) libevdev_enable_event_code(description, EV_ABS, code, &axis);
    for (uint16_t code : Typ2Axes) libevdev_enable_event_code(description, EV_ABS, code, &axis);
    libevdev_enable_event_type(description, EV_KEY);
    for (int bit = 0; bit < 16; ++bit)
        libevdev_enable_event_code(description, EV_KEY, BTN_JOYSTICK + bit, nullptr);

    int status = libevdev_uinput_create_from_device(description, uinputFd, device);
    libevdev_free(description);
    if (status != 0) *why = std::string("cannot make the virtual joystick: ") + strerror(-status);
    return status;
}

struct Run {
    Reconnect* Link;
    int UinputFd;
    JoystickRange Range;
    libevdev_uinput* Device;
    uint16_t Buttons;
    int Status;           // the exit status once Done
    bool Done;            // the run, or with --reconnect the connection, is over
    std::string Message;  // for standard error at the end (with --reconnect: why it ended)
};

void Finish(Run* run, int status, const std::string& message) {
    run->Status = status;
    run->Message = message;
    run->Done = true;
}

int MakeDevice(Run* run, std::string* why) {
    if (CreateDevice(run->UinputFd, run->Range, &run->Device, why) != 0) return -1;
    const char* node = libevdev_uinput_get_devnode(run->Device);
    printf("virtual joystick \"%s\" (%04x:%04x) at %s, axes %d..%d\n", JoystickName,
           JoystickVendor, JoystickProduct, node ? node : "an unknown node", run->Range.Min,
           run->Range.Max);
    fflush(stdout);
    return 0;
}

int Write(Run* run, const JoystickInput* inputs, int count) {
    for (int i = 0; i < count; ++i) {
        int status = libevdev_uinput_write_event(run->Device, inputs[i].Type, inputs[i].Code,
                                                 inputs[i].Value);
        if (status != 0) {
            Finish(run, ExitUsage,
                   std::string("writing to the virtual joystick failed: ") + strerror(-status));
            return -1;
        }
    }
    return 0;
}

// Everything complete in what has been read: the greeting makes the
// device (without --reconnect; with it the device is there already), each
// event goes to it, and one SYN_REPORT closes the lot, so that the two
// readings of one report reach a reader together.
void Take(Run* run, StreamReader* reader) {
    bool wrote = false;
    for (;;) {
        FrameEvent event;
        int exitCode = 0;
        std::string message;
        int step = StreamNext(reader, &event, &exitCode, &message);
        if (step == StreamNeedMore) break;
        if (step == StreamFault) {
            Finish(run, exitCode, message);
            break;
        }
        if (step == StreamGreeting) {
            ReconnectGreeted(run->Link);
            if (run->Device) continue;
            std::string why;
            if (MakeDevice(run, &why) != 0) {
                Finish(run, ExitUsage, why);
                return;
            }
            continue;
        }
        JoystickInput inputs[JoystickMaxInputs];
        int count = JoystickMapEvent(event, run->Range, &run->Buttons, inputs);
        if (Write(run, inputs, count) != 0) return;
        wrote = wrote || count > 0;
    }
    if (wrote) libevdev_uinput_write_event(run->Device, EV_SYN, SYN_REPORT, 0);
}

// One read of the stream, its events written to the device.
void Read(Run* run, StreamReader* reader) {
    int exitCode = ExitClean;
    std::string message;
    if (StreamRead(reader, run->Link->Socket, &exitCode, &message) < 0)
        Finish(run, exitCode,
               exitCode == ExitClean && run->Link->Again ? "the relay closed the connection"
                                                         : message);
    else
        Take(run, reader);
}

// With --reconnect, at once when a connection is lost: every button up
// and every axis centred in one report, so that no button is held down
// and no stick held over while nothing tells the game otherwise.
int Rest(Run* run) {
    JoystickInput rest[JoystickRestInputCount];
    int count = JoystickRestInputs(run->Range, &run->Buttons, rest);
    if (Write(run, rest, count) != 0) return -1;
    libevdev_uinput_write_event(run->Device, EV_SYN, SYN_REPORT, 0);
    return 0;
}

// After the device is gone and the terminal back: the last message, and
// the end by the signal that stopped the run, if one did.
int End(Run* run) {
    // Closing uinput would remove the device too; this says so first.
    if (run->Device) {
        libevdev_uinput_destroy(run->Device);
        printf("virtual joystick removed\n");
        fflush(stdout);
    }
    ReconnectEnd(run->Link);
    ClientKeysEnd();
    if (!run->Message.empty()) fprintf(stderr, "dorqin-listen: %s\n", run->Message.c_str());
    if (ClientStopSignal() != 0) ClientEndBySignal();
    return run->Status;
}

}  // namespace

bool ParseJoystickRange(const char* text, JoystickRange* range) {
    const char* colon = strchr(text, ':');
    if (!colon) return false;
    JoystickRange parsed;
    if (!ParseInt32(text, colon, &parsed.Min) ||
        !ParseInt32(colon + 1, colon + strlen(colon), &parsed.Max) || parsed.Min >= parsed.Max)
        return false;
    *range = parsed;
    return true;
}

int JoystickArguments(bool json, bool view, bool joystick, const char* rangeText,
                      JoystickRange* range) {
    if (joystick && (json || view)) {
        fprintf(stderr, "dorqin-listen: --joystick excludes --json and --view\n");
        return ExitUsage;
    }
    if (rangeText && !joystick) {
        fprintf(stderr, "dorqin-listen: --range goes with --joystick\n");
        return ExitUsage;
    }
    if (rangeText && !ParseJoystickRange(rangeText, range)) {
        fprintf(stderr,
                "dorqin-listen: --range wants MIN:MAX, two signed 32-bit decimals with MIN below "
                "MAX (for a 10-bit box 0:1023), not \"%s\"\n",
                rangeText);
        return ExitUsage;
    }
    return 0;
}

int JoystickMapEvent(const FrameEvent& event, const JoystickRange& range, uint16_t* buttons,
                     JoystickInput* out) {
    if (event.Typ == 1) {
        // The word travels in ID; beyond 16 bits there are no buttons.
        uint16_t word = static_cast<uint16_t>(static_cast<uint32_t>(event.Id) & 0xFFFFu);
        int count = 0;
        for (int bit = 0; bit < 16; ++bit) {
            uint16_t mask = static_cast<uint16_t>(1u << bit);
            if ((word ^ *buttons) & mask)
                out[count++] = {EV_KEY, static_cast<uint16_t>(BTN_JOYSTICK + bit),
                                (word & mask) ? 1 : 0};
        }
        *buttons = word;
        return count;
    }
    uint16_t code;
    if (event.Typ == 3 && event.Id >= 0 && event.Id <= 3)
        code = Typ3Axes[event.Id];
    else if (event.Typ == 2 && (event.Id == 2 || event.Id == 3))
        code = Typ2Axes[event.Id - 2];
    else
        return 0;
    int32_t value = event.Value < range.Min ? range.Min
                    : event.Value > range.Max ? range.Max
                                              : event.Value;
    out[0] = {EV_ABS, code, value};
    return 1;
}

int JoystickOpenUinput(std::string* why) {
    int fd = open(UinputPath, O_RDWR | O_CLOEXEC);
    if (fd >= 0) return fd;
    int error = errno;
    std::string text = std::string("--joystick cannot open ") + UinputPath + ": " + strerror(error);
    if (error == EACCES || error == EPERM)
        text += "; it needs write access there: run as root, or give your user access (see "
                "\"Access to /dev/uinput\" in dorqin-listen(1))";
    else if (error == ENOENT || error == ENODEV || error == ENXIO)
        text += "; load the uinput module first (sudo modprobe uinput)";
    *why = text;
    return -1;
}

int JoystickRestInputs(const JoystickRange& range, uint16_t* buttons, JoystickInput* out) {
    int count = 0;
    for (int bit = 0; bit < 16; ++bit)
        if (*buttons & (1u << bit))
            out[count++] = {EV_KEY, static_cast<uint16_t>(BTN_JOYSTICK + bit), 0};
    *buttons = 0;
    int32_t centre = JoystickCentre(range);
    for (uint16_t code : Typ3Axes) out[count++] = {EV_ABS, code, centre};
    for (uint16_t code : Typ2Axes) out[count++] = {EV_ABS, code, centre};
    return count;
}

int RunJoystick(Reconnect* link, int uinputFd, const JoystickRange& range) {
    ClientCatchStops();
    // Keys come from standard input, a terminal or a pipe; once it ends
    // (/dev/null, say) only the stream and the signals are left.
    ClientKeysStart();
    Run run = {link, uinputFd, range, nullptr, 0, ExitClean, false, {}};
    // With --reconnect made before the first connection and kept through
    // every loss: a game started first finds it at rest, and none has to
    // find it again. Without, made once the greeting is right.
    std::string why;
    if (link->Again && MakeDevice(&run, &why) != 0) {
        Finish(&run, ExitUsage, why);
        return End(&run);
    }
    StreamReader reader;
    StreamInit(&reader);
    while (!run.Done) {
        int event = ReconnectNext(link, -1);
        if (event == ReconnectQuit) Finish(&run, ExitClean, "");
        if (event == ReconnectStopped) run.Done = true;
        if (event == ReconnectWaitFailed)
            Finish(&run, ExitReadError,
                   std::string("waiting for the relay failed: ") + ClientErrorText());
        if (event == ReconnectConnected) StreamInit(&reader);
        if (event == ReconnectNoGreeting) ReconnectNoteNoGreeting();
        if (event != ReconnectData) continue;
        Read(&run, &reader);
        // With --reconnect the end of a connection is not the run's,
        // unless the device failed.
        if (!run.Done || !link->Again || run.Status == ExitUsage) continue;
        if (Rest(&run) != 0) break;
        ReconnectLost(link, run.Message);
        run.Done = false;
        run.Message.clear();
    }
    // After q or a signal too, so that a reader slow to see the device go
    // sees it at rest first.
    if (link->Again && link->Phase == PhaseConnected && run.Status != ExitUsage) Rest(&run);
    return End(&run);
}
