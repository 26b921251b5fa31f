// dorqin-boxsim: a virtual DORQIn Box through Linux's /dev/uhid. Reads
// commands from standard input (or moves on its own with --demo) and hands
// the reports to the kernel's HID stack, where hidraw serves them to the
// relay like a real box's. With --descriptor or --replay it presents
// another device's descriptor instead, and replays a recorded device's
// reports at their recorded times.
#include <fcntl.h>
#include <linux/uhid.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <string>
#include <vector>

#include "platform/posix/sys.h"
#include "platform/posix/uevent.h"
#include "tools/boxsim/command.h"
#include "tools/boxsim/device_file.h"
#include "tools/boxsim/report.h"

#ifndef BUS_USB
#define BUS_USB 0x03
#endif

namespace {

enum ExitCode {
    ExitOk = 0,
    ExitNoDevice = 1,     // /dev/uhid missing, not writable, or the box was refused
    ExitUsage = 2,
    ExitBadCommand = 3,   // at least one command failed; the others ran
};

const char UhidPath[] = "/dev/uhid";
const char BoxName[] = "DORQIn Box (simulated)";
const char BoxPhys[] = "dorqin-boxsim";

// A recording of a few hours of a busy device is some megabytes.
constexpr long MaxFileBytes = 256L * 1024 * 1024;

// The kernel may not take input until its driver has started the device.
constexpr int StartWaitMs = 2000;
constexpr int DemoTickMs = 50;

const char UsageText[] =
    "usage: dorqin-boxsim [--demo] [--verbose] [--usage U]\n"
    "       dorqin-boxsim --descriptor FILE [--id VVVV:PPPP] [--verbose]\n"
    "       dorqin-boxsim --replay FILE [--device N] [--id recorded|VVVV:PPPP] [--verbose]\n"
    "\n"
    "Creates a simulated DORQIn Box (USB 046D:C630, Generic Desktop /\n"
    "Joystick) through /dev/uhid and sends the input reports that standard\n"
    "input asks for, one command a line:\n"
    "\n"
    "  buttons W          report 1, button word W (0..0xFFFF; bit 0 = button 1)\n"
    "  xy X Y             report 2, X and Y (0..1023 each)\n"
    "  z-rx A B           report 3, Z and Rx (-32768..65535, sent as 16 bits)\n"
    "  ry-rz A B          report 4, Ry and Rz\n"
    "  slider-dial A B    report 5, Slider and Dial\n"
    "  status N           report 6, a vendor byte the relay ignores (0..255)\n"
    "  raw 02 bc 02 00    any bytes, sent as typed (report ID first)\n"
    "  destroy            remove the box (as if unplugged)\n"
    "  sleep MS           wait MS milliseconds\n"
    "  replay             send the recording's reports at their recorded times\n"
    "  # ...              comment\n"
    "\n"
    "Numbers are decimal or 0x hex. The box is removed at the end of input.\n"
    "\n"
    "  --demo      circle the stick and press buttons in turn until Ctrl+C\n"
    "  --verbose   log what the kernel asks of the box on standard error\n"
    "  --usage U   top-level Generic Desktop usage U instead of 4 (Joystick),\n"
    "              e.g. 5 (Game Pad): a device the relay must pass over\n"
    "  --descriptor FILE  present FILE's report descriptor (hex text or raw\n"
    "              bytes) instead of the box's; only raw, sleep and destroy then\n"
    "  --replay FILE  present the device of a hid-recorder recording; the command\n"
    "              replay sends its reports (raw, sleep, destroy work too)\n"
    "  --device N  the recorded device D: N, in a recording of several\n"
    "  --id ID     the identity: box (USB 046D:C630, the default, the only one\n"
    "              the relay opens), recorded (the recording's bus, vendor,\n"
    "              product and name) or VVVV:PPPP (USB, vendor and product in hex)\n"
    "  --help      show this text\n"
    "  --version   show the version\n"
    "\n"
    "Exit status: 0 done, 1 no usable /dev/uhid, 2 bad arguments,\n"
    "3 some command failed (the others still ran).\n";

struct Boxsim {
    int Fd = -1;
    bool Created = false;
    bool Started = false;  // the kernel's driver has started the device
    bool Verbose = false;
    // Another device's descriptor: the box's own reports mean nothing to it.
    bool Foreign = false;
    std::vector<unsigned char> Descriptor;
    std::string Name = BoxName;
    std::string Phys = BoxPhys;
    uint16_t Bus = BUS_USB;
    uint16_t Vendor = BoxsimVendorId;
    uint16_t Product = BoxsimProductId;
    const RecordedDevice* Recording = nullptr;  // with --replay
    // The latest report sent for each declared ID, for GET_REPORT requests.
    unsigned char Last[ReportStatus + 1][BoxsimMaxReportSize] = {};
};

volatile sig_atomic_t stopRequested = 0;

void OnStopSignal(int) { stopRequested = 1; }

long NowMs() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000L + now.tv_nsec / 1000000L;
}

int WriteEvent(Boxsim* sim, const uhid_event& event) {
    for (;;) {
        ssize_t written = write(sim->Fd, &event, sizeof event);
        if (written == static_cast<ssize_t>(sizeof event)) return 0;
        if (written < 0 && errno == EINTR) continue;
        return written < 0 ? errno : EIO;
    }
}

void ReplyGetReport(Boxsim* sim, const uhid_get_report_req& request) {
    uhid_event reply;
    memset(&reply, 0, sizeof reply);
    reply.type = UHID_GET_REPORT_REPLY;
    reply.u.get_report_reply.id = request.id;
    // A foreign descriptor's report lengths are not known here.
    size_t length = sim->Foreign ? 0 : ReportLength(request.rnum);
    if (request.rtype == UHID_INPUT_REPORT && length != 0) {
        // Before the first report of an ID, the box reads as all zero.
        unsigned char* last = sim->Last[request.rnum];
        last[0] = request.rnum;
        memcpy(reply.u.get_report_reply.data, last, length);
        reply.u.get_report_reply.size = static_cast<uint16_t>(length);
        reply.u.get_report_reply.err = 0;
    } else {
        // The box has no feature or output reports.
        reply.u.get_report_reply.err = EIO;
        if (sim->Verbose) fprintf(stderr, "dorqin-boxsim: GET_REPORT refused\n");
    }
    WriteEvent(sim, reply);
}

void ReplySetReport(Boxsim* sim, const uhid_set_report_req& request) {
    uhid_event reply;
    memset(&reply, 0, sizeof reply);
    reply.type = UHID_SET_REPORT_REPLY;
    reply.u.set_report_reply.id = request.id;
    reply.u.set_report_reply.err = EIO;  // nothing on the box can be set
    WriteEvent(sim, reply);
}

// Takes one event from the kernel and answers it if it asks for an answer:
// an unanswered GET_REPORT or SET_REPORT stalls the kernel for seconds.
void HandleUhidEvent(Boxsim* sim) {
    uhid_event event;
    memset(&event, 0, sizeof event);
    ssize_t got = read(sim->Fd, &event, sizeof event);
    if (got <= 0) return;
    switch (event.type) {
    case UHID_START:
        sim->Started = true;
        if (sim->Verbose) fprintf(stderr, "dorqin-boxsim: kernel started the box\n");
        break;
    case UHID_STOP:
        sim->Started = false;
        if (sim->Verbose) fprintf(stderr, "dorqin-boxsim: kernel stopped the box\n");
        break;
    case UHID_OPEN:
        if (sim->Verbose) fprintf(stderr, "dorqin-boxsim: the box was opened\n");
        break;
    case UHID_CLOSE:
        if (sim->Verbose) fprintf(stderr, "dorqin-boxsim: the box was closed\n");
        break;
    case UHID_OUTPUT:
        if (sim->Verbose) fprintf(stderr, "dorqin-boxsim: ignoring an output report\n");
        break;
    case UHID_GET_REPORT:
        if (sim->Verbose)
            fprintf(stderr, "dorqin-boxsim: GET_REPORT %u (type %u)\n", event.u.get_report.rnum,
                    event.u.get_report.rtype);
        ReplyGetReport(sim, event.u.get_report);
        break;
    case UHID_SET_REPORT:
        if (sim->Verbose)
            fprintf(stderr, "dorqin-boxsim: SET_REPORT %u refused\n", event.u.set_report.rnum);
        ReplySetReport(sim, event.u.set_report);
        break;
    default:
        break;
    }
}

// Serves the kernel's requests for timeoutMs (or until a stop signal).
void PumpUhid(Boxsim* sim, long timeoutMs) {
    long deadline = NowMs() + timeoutMs;
    for (;;) {
        long left = deadline - NowMs();
        if (left <= 0 || stopRequested) return;
        pollfd waiting = {sim->Fd, POLLIN, 0};
        if (poll(&waiting, 1, static_cast<int>(left)) > 0) HandleUhidEvent(sim);
    }
}

// The hidraw node whose device is ours, found by the unique string we gave it.
std::string FindHidrawNode(const std::string& uniq) {
    std::string found;
    DIR* dir = opendir("/sys/class/hidraw");
    if (!dir) return found;
    while (dirent* entry = readdir(dir)) {
        if (entry->d_name[0] == '.') continue;
        std::string path = std::string("/sys/class/hidraw/") + entry->d_name + "/device/uevent";
        char value[256];
        if (ReadUeventValue(path.c_str(), "HID_UNIQ", value, sizeof value) && uniq == value) {
            found = std::string("/dev/") + entry->d_name;
            break;
        }
    }
    closedir(dir);
    return found;
}

int OpenUhid() {
    int fd = open(UhidPath, O_RDWR | O_CLOEXEC);
    if (fd >= 0) return fd;
    int error = errno;
    if (error == ENOENT) {
        fprintf(stderr,
                "dorqin-boxsim: %s does not exist; this kernel has no uhid support loaded "
                "(try: modprobe uhid)\n",
                UhidPath);
    } else if (error == EACCES || error == EPERM) {
        fprintf(stderr,
                "dorqin-boxsim: no permission to open %s for reading and writing; run as root "
                "or grant access with a udev rule\n",
                UhidPath);
    } else {
        fprintf(stderr, "dorqin-boxsim: cannot open %s: %s\n", UhidPath, strerror(error));
    }
    return -1;
}

bool CreateBox(Boxsim* sim) {
    uhid_event event;
    memset(&event, 0, sizeof event);
    event.type = UHID_CREATE2;
    uhid_create2_req& create = event.u.create2;
    snprintf(reinterpret_cast<char*>(create.name), sizeof create.name, "%s", sim->Name.c_str());
    snprintf(reinterpret_cast<char*>(create.phys), sizeof create.phys, "%s", sim->Phys.c_str());
    // A unique string per process, so that we can find our own hidraw node.
    snprintf(reinterpret_cast<char*>(create.uniq), sizeof create.uniq, "dorqin-boxsim-%ld",
             static_cast<long>(getpid()));
    create.rd_size = static_cast<uint16_t>(sim->Descriptor.size());
    create.bus = sim->Bus;
    create.vendor = sim->Vendor;
    create.product = sim->Product;
    create.version = 0x0100;
    create.country = 0;
    memcpy(create.rd_data, sim->Descriptor.data(), sim->Descriptor.size());
    int error = WriteEvent(sim, event);
    if (error != 0) {
        fprintf(stderr, "dorqin-boxsim: the kernel refused to create the box: %s\n",
                strerror(error));
        return false;
    }
    sim->Created = true;

    PumpUhid(sim, 0);
    long deadline = NowMs() + StartWaitMs;
    while (!sim->Started && NowMs() < deadline && !stopRequested) PumpUhid(sim, 20);
    std::string uniq = reinterpret_cast<const char*>(create.uniq);
    std::string node;
    // The hidraw node appears while the driver starts the box; give it a moment.
    for (int tries = 0; tries < 50 && node.empty() && sim->Started; ++tries) {
        node = FindHidrawNode(uniq);
        if (node.empty()) PumpUhid(sim, 20);
    }
    if (!sim->Started) {
        fprintf(stderr,
                "dorqin-boxsim: box created, but no HID driver started it (is hid-generic "
                "loaded?); reports will be refused until one does\n");
    } else if (node.empty()) {
        fprintf(stderr, "dorqin-boxsim: box created, no hidraw node found for it\n");
    } else {
        fprintf(stderr, "dorqin-boxsim: box created as %s\n", node.c_str());
    }
    return true;
}

void DestroyBox(Boxsim* sim) {
    if (!sim->Created) return;
    uhid_event event;
    memset(&event, 0, sizeof event);
    event.type = UHID_DESTROY;
    WriteEvent(sim, event);
    sim->Created = false;
    sim->Started = false;
}

// Hands one report to the kernel. The kernel refuses input until its driver
// has started the box, so a refusal right after creation is waited out.
bool SendReport(Boxsim* sim, const std::vector<unsigned char>& report, std::string* error) {
    if (!sim->Created) {
        *error = "the box has been destroyed";
        return false;
    }
    uhid_event event;
    memset(&event, 0, sizeof event);
    event.type = UHID_INPUT2;
    event.u.input2.size = static_cast<uint16_t>(report.size());
    memcpy(event.u.input2.data, report.data(), report.size());
    long deadline = NowMs() + StartWaitMs;
    for (;;) {
        int status = WriteEvent(sim, event);
        if (status == 0) break;
        if (status != EINVAL || NowMs() >= deadline || stopRequested) {
            *error = std::string("the kernel refused the report: ") + strerror(status);
            return false;
        }
        PumpUhid(sim, 10);
    }
    size_t length = sim->Foreign ? 0 : ReportLength(report[0]);
    if (length != 0 && report.size() == length) memcpy(sim->Last[report[0]], report.data(), length);
    return true;
}

// Sends the recording's reports, each at its recorded time after the
// first one's. A report recorded earlier than the one before it goes out
// right after that one.
bool RunReplay(Boxsim* sim, std::string* error) {
    if (!sim->Recording) {
        *error = "there is no recording to replay (start with --replay FILE)";
        return false;
    }
    const std::vector<RecordedEvent>& events = sim->Recording->Events;
    if (events.empty()) {
        *error = "the recording has no reports (E: lines) to replay";
        return false;
    }
    const long start = NowMs();
    const uint64_t first = events.front().TimeUs;
    for (size_t i = 0; i < events.size(); ++i) {
        const uint64_t offset = events[i].TimeUs > first ? events[i].TimeUs - first : 0;
        const long wait = start + static_cast<long>(offset / 1000) - NowMs();
        if (wait > 0) PumpUhid(sim, wait);
        if (stopRequested) {
            *error = "replay stopped after " + std::to_string(i) + " reports";
            return false;
        }
        if (!SendReport(sim, events[i].Bytes, error)) {
            *error = "recorded report " + std::to_string(i + 1) + ": " + *error;
            return false;
        }
    }
    fprintf(stderr, "dorqin-boxsim: replayed %zu reports in %.1f s\n", events.size(),
            static_cast<double>(NowMs() - start) / 1000.0);
    return true;
}

// Runs one command line; returns false when it failed (after saying why).
bool RunLine(Boxsim* sim, const std::string& line, unsigned long number) {
    BoxsimCommand command;
    std::string error;
    bool ok = ParseCommand(line, &command, &error);
    if (ok) {
        switch (command.Kind) {
        case CommandNothing: break;
        case CommandReport:
            if (command.BoxReport && sim->Foreign) {
                // The box's report layout, sent to another descriptor, would
                // read as whatever that descriptor puts at those bits.
                ok = false;
                error = "this device has a descriptor of its own: the box's reports do not "
                        "apply (send its reports with raw)";
            } else {
                ok = SendReport(sim, command.Report, &error);
            }
            break;
        case CommandReplay: ok = RunReplay(sim, &error); break;
        case CommandSleep: PumpUhid(sim, command.SleepMs); break;
        case CommandDestroy:
            if (sim->Created) {
                DestroyBox(sim);
                fprintf(stderr, "dorqin-boxsim: box destroyed\n");
            } else {
                ok = false;
                error = "the box has already been destroyed";
            }
            break;
        }
    }
    if (!ok) fprintf(stderr, "dorqin-boxsim: line %lu: %s\n", number, error.c_str());
    return ok;
}

// Reads commands until the end of standard input, serving the kernel's
// requests meanwhile. Returns the number of failed commands.
unsigned long RunCommands(Boxsim* sim) {
    std::string pending;
    unsigned long number = 0;
    unsigned long failed = 0;
    bool inputOpen = true;
    while (inputOpen && !stopRequested) {
        pollfd waiting[2] = {{0, POLLIN, 0}, {sim->Fd, POLLIN, 0}};
        if (poll(waiting, 2, -1) < 0) continue;  // EINTR: look at the stop flag
        if (waiting[1].revents & POLLIN) HandleUhidEvent(sim);
        if (!(waiting[0].revents & (POLLIN | POLLHUP | POLLERR))) continue;
        char chunk[4096];
        ssize_t got = read(0, chunk, sizeof chunk);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) {
            inputOpen = false;
        } else {
            pending.append(chunk, static_cast<size_t>(got));
        }
        size_t end;
        while ((end = pending.find('\n')) != std::string::npos) {
            std::string line = pending.substr(0, end);
            pending.erase(0, end + 1);
            if (!RunLine(sim, line, ++number)) ++failed;
        }
        if (!inputOpen && !pending.empty()) {
            if (!RunLine(sim, pending, ++number)) ++failed;
        }
    }
    return failed;
}

void RunDemo(Boxsim* sim) {
    fprintf(stderr,
            "dorqin-boxsim: demo: the stick circles, buttons 1 to 16 light in turn; Ctrl+C "
            "stops\n");
    const double pi = 3.14159265358979;
    std::string error;
    for (unsigned long tick = 0; !stopRequested && sim->Created; ++tick) {
        double angle = 2 * pi * static_cast<double>(tick % 40) / 40.0;  // one turn per 2 s
        unsigned char report[BoxsimMaxReportSize];
        long x = 512 + std::lround(400 * std::cos(angle));
        long y = 512 + std::lround(400 * std::sin(angle));
        int length = EncodeReport(ReportXY, x, y, report, sizeof report, &error);
        bool ok = SendReport(sim, std::vector<unsigned char>(report, report + length), &error);
        if (ok && tick % 10 == 0) {
            // Every half second the next button is pressed, the others released.
            long word = 1L << ((tick / 10) % 16);
            length = EncodeReport(ReportButtons, word, 0, report, sizeof report, &error);
            ok = SendReport(sim, std::vector<unsigned char>(report, report + length), &error);
        }
        if (ok && tick % 5 == 0) {
            long z = std::lround(30000 * std::sin(angle));
            length = EncodeReport(ReportZRx, z, -z, report, sizeof report, &error);
            ok = SendReport(sim, std::vector<unsigned char>(report, report + length), &error);
        }
        if (!ok) {
            fprintf(stderr, "dorqin-boxsim: demo: %s\n", error.c_str());
            return;
        }
        PumpUhid(sim, DemoTickMs);
    }
}

// The whole of a file, or false after saying why not.
bool ReadFile(const char* path, std::string* content) {
    FILE* file = fopen(path, "rb");
    if (!file) {
        fprintf(stderr, "dorqin-boxsim: cannot open %s: %s\n", path, strerror(errno));
        return false;
    }
    content->clear();
    char chunk[65536];
    size_t got;
    while ((got = fread(chunk, 1, sizeof chunk, file)) > 0) {
        content->append(chunk, got);
        if (content->size() > static_cast<size_t>(MaxFileBytes)) {
            fprintf(stderr, "dorqin-boxsim: %s is larger than %ld MiB\n", path,
                    MaxFileBytes >> 20);
            fclose(file);
            return false;
        }
    }
    bool failed = ferror(file) != 0;
    fclose(file);
    if (failed) fprintf(stderr, "dorqin-boxsim: cannot read %s\n", path);
    return !failed;
}

// VVVV:PPPP, four hex digits each side at most.
bool ParseIdentity(const std::string& text, uint16_t* vendor, uint16_t* product) {
    size_t colon = text.find(':');
    if (colon == std::string::npos || colon == 0 || colon > 4 || text.size() - colon - 1 == 0 ||
        text.size() - colon - 1 > 4)
        return false;
    long value[2];
    std::string parts[2] = {"0x" + text.substr(0, colon), "0x" + text.substr(colon + 1)};
    for (int i = 0; i < 2; ++i) {
        if (parts[i].find('-') != std::string::npos || !ParseNumber(parts[i], &value[i]))
            return false;
    }
    *vendor = static_cast<uint16_t>(value[0]);
    *product = static_cast<uint16_t>(value[1]);
    return true;
}

}  // namespace

int main(int argc, char* argv[]) {
    SysTakeInheritedState();
    bool demo = false;
    bool verbose = false;
    long usage = BoxsimDescriptor[BoxsimUsageOffset];
    bool usageGiven = false;
    const char* descriptorPath = nullptr;
    const char* replayPath = nullptr;
    long deviceNumber = -1;
    const char* identity = "box";
    for (int i = 1; i < argc; ++i) {
        bool hasValue = i + 1 < argc;
        if (strcmp(argv[i], "--help") == 0 || strcmp(argv[i], "-h") == 0) {
            fputs(UsageText, stdout);
            return ExitOk;
        } else if (strcmp(argv[i], "--version") == 0) {
            puts("dorqin-boxsim " DORQIN_VERSION);
            return ExitOk;
        } else if (strcmp(argv[i], "--demo") == 0) {
            demo = true;
        } else if (strcmp(argv[i], "--verbose") == 0 || strcmp(argv[i], "-v") == 0) {
            verbose = true;
        } else if (strcmp(argv[i], "--usage") == 0 && hasValue) {
            // One byte: the descriptor's item has room for no more.
            if (!ParseNumber(argv[++i], &usage) || usage < 1 || usage > 0xFF) {
                fprintf(stderr, "dorqin-boxsim: --usage takes 1..255, not %s\n", argv[i]);
                return ExitUsage;
            }
            usageGiven = true;
        } else if (strcmp(argv[i], "--descriptor") == 0 && hasValue) {
            descriptorPath = argv[++i];
        } else if (strcmp(argv[i], "--replay") == 0 && hasValue) {
            replayPath = argv[++i];
        } else if (strcmp(argv[i], "--device") == 0 && hasValue) {
            if (!ParseNumber(argv[++i], &deviceNumber) || deviceNumber < 0) {
                fprintf(stderr, "dorqin-boxsim: --device takes a recorded device number, not %s\n",
                        argv[i]);
                return ExitUsage;
            }
        } else if (strcmp(argv[i], "--id") == 0 && hasValue) {
            identity = argv[++i];
        } else {
            fprintf(stderr, "dorqin-boxsim: unknown argument %s\n%s", argv[i], UsageText);
            return ExitUsage;
        }
    }
    const bool foreign = descriptorPath || replayPath;
    const char* conflict = nullptr;
    if (descriptorPath && replayPath) {
        conflict = "--descriptor and --replay exclude each other";
    } else if (foreign && demo) {
        conflict = "--demo moves the box's own reports; not with a foreign descriptor";
    } else if (foreign && usageGiven) {
        conflict = "--usage changes the box's own descriptor only";
    } else if (deviceNumber >= 0 && !replayPath) {
        conflict = "--device picks a device of a --replay recording";
    } else if (strcmp(identity, "recorded") == 0 && !replayPath) {
        conflict = "--id recorded needs --replay";
    }
    if (conflict) {
        fprintf(stderr, "dorqin-boxsim: %s\n", conflict);
        return ExitUsage;
    }

    static Boxsim sim;
    sim.Verbose = verbose;
    sim.Foreign = foreign;
    sim.Descriptor.assign(BoxsimDescriptor, BoxsimDescriptor + BoxsimDescriptorSize);
    sim.Descriptor[BoxsimUsageOffset] = static_cast<unsigned char>(usage);

    std::string content, error;
    std::vector<RecordedDevice> recorded;
    if (descriptorPath) {
        DescriptorFile file;
        if (!ReadFile(descriptorPath, &content)) return ExitUsage;
        if (ReadDescriptorFile(content, &file, &error) != 0) {
            fprintf(stderr, "dorqin-boxsim: %s: %s\n", descriptorPath, error.c_str());
            return ExitUsage;
        }
        if (!file.TextError.empty()) {
            // The format says so, but a typo in a hex file is the likelier story.
            fprintf(stderr, "dorqin-boxsim: %s is taken as raw bytes: as hex text, %s\n",
                    descriptorPath, file.TextError.c_str());
        }
        sim.Descriptor = file.Bytes;
    } else if (replayPath) {
        if (!ReadFile(replayPath, &content)) return ExitUsage;
        if (ParseRecording(content, &recorded, &error) != 0) {
            fprintf(stderr, "dorqin-boxsim: %s: %s\n", replayPath, error.c_str());
            return ExitUsage;
        }
        if (deviceNumber < 0 && recorded.size() > 1) {
            std::string numbers;
            for (const RecordedDevice& device : recorded)
                numbers += (numbers.empty() ? "" : ", ") + std::to_string(device.Number);
            fprintf(stderr, "dorqin-boxsim: %s holds devices %s; pick one with --device N\n",
                    replayPath, numbers.c_str());
            return ExitUsage;
        }
        for (const RecordedDevice& device : recorded) {
            if (deviceNumber < 0 || device.Number == deviceNumber) sim.Recording = &device;
        }
        if (!sim.Recording) {
            fprintf(stderr, "dorqin-boxsim: %s has no device %ld\n", replayPath, deviceNumber);
            return ExitUsage;
        }
        sim.Descriptor = sim.Recording->Descriptor;
    }

    if (strcmp(identity, "recorded") == 0) {
        if (!sim.Recording->HasIdentity) {
            fprintf(stderr, "dorqin-boxsim: %s has no I: line for --id recorded\n", replayPath);
            return ExitUsage;
        }
        sim.Bus = sim.Recording->Bus;
        sim.Vendor = sim.Recording->Vendor;
        sim.Product = sim.Recording->Product;
        if (!sim.Recording->Name.empty()) sim.Name = sim.Recording->Name;
        if (!sim.Recording->Phys.empty()) sim.Phys = sim.Recording->Phys;
    } else if (strcmp(identity, "box") != 0 &&
               !ParseIdentity(identity, &sim.Vendor, &sim.Product)) {
        fprintf(stderr, "dorqin-boxsim: --id takes box, recorded or VVVV:PPPP (hex), not %s\n",
                identity);
        return ExitUsage;
    }
    if (foreign) {
        fprintf(stderr, "dorqin-boxsim: presenting the %zu-byte descriptor of %s as %04X:%04X%s\n",
                sim.Descriptor.size(), descriptorPath ? descriptorPath : replayPath, sim.Vendor,
                sim.Product,
                sim.Vendor == BoxsimVendorId && sim.Product == BoxsimProductId
                    ? " (the box's identity)"
                    : " (the relay opens 046D:C630 only)");
    }

    // No SA_RESTART: a stop signal must end the waits in poll().
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = OnStopSignal;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);

    sim.Fd = OpenUhid();
    if (sim.Fd < 0) return ExitNoDevice;
    if (!CreateBox(&sim)) return ExitNoDevice;
    if (sim.Recording) {
        const std::vector<RecordedEvent>& events = sim.Recording->Events;
        uint64_t span = 0;
        if (!events.empty() && events.back().TimeUs > events.front().TimeUs)
            span = events.back().TimeUs - events.front().TimeUs;
        fprintf(stderr,
                "dorqin-boxsim: %zu recorded reports over %.1f s; the command replay sends "
                "them\n",
                events.size(), static_cast<double>(span) / 1e6);
    }

    unsigned long failed = 0;
    if (demo) {
        RunDemo(&sim);
    } else {
        failed = RunCommands(&sim);
    }
    DestroyBox(&sim);
    close(sim.Fd);
    return failed ? ExitBadCommand : ExitOk;
}
