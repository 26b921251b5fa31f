// dorqin-boxsim: a virtual DORQIn Box through Linux's /dev/uhid. Reads
// commands from standard input (or moves on its own with --demo) and hands
// the reports to the kernel's HID stack, where hidraw serves them to the
// relay like a real box's.
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

#include "tools/boxsim/command.h"
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

// The kernel may not take input until its driver has started the device.
constexpr int StartWaitMs = 2000;
constexpr int DemoTickMs = 50;

const char UsageText[] =
    "usage: dorqin-boxsim [--demo] [--verbose] [--usage U]\n"
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
    "  # ...              comment\n"
    "\n"
    "Numbers are decimal or 0x hex. The box is removed at the end of input.\n"
    "\n"
    "  --demo      circle the stick and press buttons in turn until Ctrl+C\n"
    "  --verbose   log what the kernel asks of the box on standard error\n"
    "  --usage U   top-level Generic Desktop usage U instead of 4 (Joystick),\n"
    "              e.g. 5 (Game Pad): a device the relay must pass over\n"
    "  --help      show this text\n"
    "  --version   show the version\n"
    "\n"
    "Exit status: 0 done, 1 no usable /dev/uhid, 2 bad arguments,\n"
    "3 some command failed (the others still ran).\n";

struct Boxsim {
    int Fd;
    bool Created;
    bool Started;   // the kernel's driver has started the device
    bool Verbose;
    unsigned char Usage;  // of the top-level collection
    // The latest report sent for each declared ID, for GET_REPORT requests.
    unsigned char Last[ReportStatus + 1][BoxsimMaxReportSize];
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
    size_t length = ReportLength(request.rnum);
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
        FILE* file = fopen(path.c_str(), "r");
        if (!file) continue;
        char line[256];
        while (fgets(line, sizeof line, file)) {
            if (strncmp(line, "HID_UNIQ=", 9) == 0 && uniq + "\n" == line + 9) {
                found = std::string("/dev/") + entry->d_name;
            }
        }
        fclose(file);
        if (!found.empty()) break;
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
    snprintf(reinterpret_cast<char*>(create.name), sizeof create.name, "%s", BoxName);
    snprintf(reinterpret_cast<char*>(create.phys), sizeof create.phys, "dorqin-boxsim");
    // A unique string per process, so that we can find our own hidraw node.
    snprintf(reinterpret_cast<char*>(create.uniq), sizeof create.uniq, "dorqin-boxsim-%ld",
             static_cast<long>(getpid()));
    create.rd_size = static_cast<uint16_t>(BoxsimDescriptorSize);
    create.bus = BUS_USB;
    create.vendor = BoxsimVendorId;
    create.product = BoxsimProductId;
    create.version = 0x0100;
    create.country = 0;
    memcpy(create.rd_data, BoxsimDescriptor, BoxsimDescriptorSize);
    create.rd_data[BoxsimUsageOffset] = sim->Usage;
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
    size_t length = ReportLength(report[0]);
    if (length != 0 && report.size() == length) memcpy(sim->Last[report[0]], report.data(), length);
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
        case CommandReport: ok = SendReport(sim, command.Report, &error); break;
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

}  // namespace

int main(int argc, char* argv[]) {
    bool demo = false;
    bool verbose = false;
    long usage = BoxsimDescriptor[BoxsimUsageOffset];
    for (int i = 1; i < argc; ++i) {
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
        } else if (strcmp(argv[i], "--usage") == 0 && i + 1 < argc) {
            // One byte: the descriptor's item has room for no more.
            if (!ParseNumber(argv[++i], &usage) || usage < 1 || usage > 0xFF) {
                fprintf(stderr, "dorqin-boxsim: --usage takes 1..255, not %s\n", argv[i]);
                return ExitUsage;
            }
        } else {
            fprintf(stderr, "dorqin-boxsim: unknown argument %s\n%s", argv[i], UsageText);
            return ExitUsage;
        }
    }

    // No SA_RESTART: a stop signal must end the waits in poll().
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = OnStopSignal;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);

    static Boxsim sim;
    memset(&sim, 0, sizeof sim);
    sim.Verbose = verbose;
    sim.Usage = static_cast<unsigned char>(usage);
    sim.Fd = OpenUhid();
    if (sim.Fd < 0) return ExitNoDevice;
    if (!CreateBox(&sim)) return ExitNoDevice;

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
