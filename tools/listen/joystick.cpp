#include "tools/listen/joystick.h"

#include <fcntl.h>
#include <libevdev/libevdev-uinput.h>
#include <libevdev/libevdev.h>
#include <linux/input.h>
#include <poll.h>
#include <signal.h>
#include <time.h>
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
constexpr int GreetingHintSeconds = 3;

// TYP 3 channels 0-3, then TYP 2 channels 2 and 3.
constexpr uint16_t Typ3Axes[4] = {ABS_X, ABS_Y, ABS_Z, ABS_RX};
constexpr uint16_t Typ2Axes[2] = {ABS_THROTTLE, ABS_RUDDER};

volatile sig_atomic_t StopSignal = 0;

void OnStopSignal(int signal) { StopSignal = signal; }

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
    int Fd;
    int UinputFd;
    JoystickRange Range;
    libevdev_uinput* Device;
    uint16_t Buttons;
    Reconnect* State;     // with --reconnect; null without
    int Status;           // the exit status once Done
    bool Done;
    bool Quit;            // q was typed
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
            if (run->State) {
                fprintf(stderr, "%s\n", ReconnectGreeted(run->State).c_str());
                continue;
            }
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

// The stop signals are held back except inside ppoll, so one that comes
// between the check and the wait still wakes it; the loop then removes
// the device before the program ends.
void HoldStopSignals(sigset_t* stops, sigset_t* waiting) {
    struct sigaction action = {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    sigemptyset(stops);
    for (int stop : {SIGINT, SIGTERM, SIGHUP}) {
        sigaction(stop, &action, nullptr);
        sigaddset(stops, stop);
    }
    sigprocmask(SIG_BLOCK, stops, waiting);
}

// Reads the connection run->Fd until it ends, a frame is malformed, q is
// typed (run->Quit) or a stop signal comes. *keys turns false once
// standard input has ended.
void ReadConnection(Run* run, const sigset_t* waiting, bool* keys) {
    StreamReader reader;
    StreamInit(&reader);
    bool hinted = false;
    while (!run->Done && StopSignal == 0) {
        pollfd fds[2] = {{*keys ? STDIN_FILENO : -1, POLLIN, 0}, {run->Fd, POLLIN, 0}};
        timespec hint = {GreetingHintSeconds, 0};
        int ready = ppoll(fds, 2, !reader.Greeted && !hinted ? &hint : nullptr, waiting);
        if (ready < 0) {
            if (errno == EINTR) continue;
            Finish(run, ExitReadError,
                   std::string("waiting for the relay failed: ") + strerror(errno));
            break;
        }
        if (ready == 0) {
            fprintf(stderr,
                    "dorqin-listen: connected, but no greeting yet (the relay serves one client at "
                    "a time); still waiting\n");
            hinted = true;
            continue;
        }
        if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
            int typed = ClientKeysTake();
            if (typed < 0) *keys = false;
            if (typed == 1) {
                run->Quit = run->Done = true;
                break;
            }
        }
        if (fds[1].revents & (POLLIN | POLLHUP | POLLERR)) {
            ssize_t got = StreamRead(&reader, run->Fd);
            if (got < 0) {
                if (errno != EINTR)
                    Finish(run, ExitReadError,
                           std::string("reading from the relay failed: ") + strerror(errno));
            } else if (got == 0) {
                std::string message;
                int verdict = StreamEnd(&reader, &message);
                Finish(run, verdict,
                       verdict == ExitClean && run->State ? "the relay closed the connection"
                                                          : message);
            } else {
                Take(run, &reader);
            }
        }
    }
}

// After the device is gone and the terminal back: the last message, and
// the end by the signal that stopped the run, if one did.
int End(Run* run, bool keys, const sigset_t* waiting) {
    // Closing uinput would remove the device too; this says so first.
    if (run->Device) {
        libevdev_uinput_destroy(run->Device);
        printf("virtual joystick removed\n");
        fflush(stdout);
    }
    if (keys) ClientKeysEnd();
    if (!run->Message.empty()) fprintf(stderr, "dorqin-listen: %s\n", run->Message.c_str());
    if (StopSignal != 0) {
        int stop = StopSignal;
        signal(stop, SIG_DFL);
        sigprocmask(SIG_SETMASK, waiting, nullptr);
        raise(stop);
    }
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

int RunJoystick(ClientSocket fd, int uinputFd, const JoystickRange& range) {
    sigset_t stops, waiting;
    HoldStopSignals(&stops, &waiting);
    // Keys come from standard input, a terminal or a pipe; once it ends
    // (/dev/null, say) only the stream and the signals are left.
    bool keys = ClientKeysStart();
    Run run = {fd, uinputFd, range, nullptr, 0, nullptr, ExitClean, false, false, {}};
    ReadConnection(&run, &waiting, &keys);
    return End(&run, keys, &waiting);
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

int RunJoystickReconnecting(const char* host, const char* port, int uinputFd,
                            const JoystickRange& range) {
    sigset_t stops, waiting;
    HoldStopSignals(&stops, &waiting);
    bool keys = ClientKeysStart();
    Reconnect state;
    ReconnectInit(&state, host, port);
    Run run = {-1, uinputFd, range, nullptr, 0, &state, ExitClean, false, false, {}};
    // Made before the first connection and kept through every loss: a game
    // started first finds it at rest, and none has to find it again.
    std::string why;
    if (MakeDevice(&run, &why) != 0) {
        Finish(&run, ExitUsage, why);
        return End(&run, keys, &waiting);
    }
    while (StopSignal == 0 && !run.Quit) {
        // The stop signals may interrupt the attempt; they are held again
        // before StopSignal is looked at, so none is missed.
        sigprocmask(SIG_SETMASK, &waiting, nullptr);
        bool connected = ReconnectConnect(&state, &run.Fd, &why) == 0;
        sigprocmask(SIG_BLOCK, &stops, nullptr);
        if (connected) {
            run.Done = false;
            run.Message.clear();
            ReadConnection(&run, &waiting, &keys);
            close(run.Fd);
            why = run.Message;
            run.Message.clear();
            // At once, in one report: no button held down and no stick held
            // over while nothing tells the game otherwise. After q or a
            // signal too, so that a reader slow to see the device go sees
            // it at rest first.
            JoystickInput rest[JoystickRestInputCount];
            int count = JoystickRestInputs(range, &run.Buttons, rest);
            if (Write(&run, rest, count) != 0) break;
            libevdev_uinput_write_event(run.Device, EV_SYN, SYN_REPORT, 0);
            if (run.Status == ExitUsage) break;  // the device failed, not the connection
        }
        if (StopSignal != 0 || run.Quit) break;
        std::string line;
        int pause = ReconnectFailed(&state, connected, why, &line);
        if (!line.empty()) fprintf(stderr, "%s\n", line.c_str());
        timespec wait = {pause / 1000, (pause % 1000) * 1000000L};
        timespec until;
        clock_gettime(CLOCK_MONOTONIC, &until);
        until.tv_sec += wait.tv_sec;
        until.tv_nsec += wait.tv_nsec;
        if (until.tv_nsec >= 1000000000L) {
            until.tv_sec += 1;
            until.tv_nsec -= 1000000000L;
        }
        // The pause, cut short by q or a stop signal.
        for (;;) {
            timespec now;
            clock_gettime(CLOCK_MONOTONIC, &now);
            long long left = (until.tv_sec - now.tv_sec) * 1000000000LL + until.tv_nsec - now.tv_nsec;
            if (left <= 0 || StopSignal != 0 || run.Quit) break;
            timespec rest = {static_cast<time_t>(left / 1000000000LL), static_cast<long>(left % 1000000000LL)};
            pollfd input = {keys ? STDIN_FILENO : -1, POLLIN, 0};
            if (ppoll(&input, 1, &rest, &waiting) > 0) {
                int typed = ClientKeysTake();
                if (typed < 0) keys = false;
                if (typed == 1) run.Quit = true;
            }
        }
    }
    if (run.Quit) run.Status = ExitClean;
    return End(&run, keys, &waiting);
}
