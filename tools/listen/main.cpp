// dorqin-listen: the reference client. Connects to the relay, checks the
// greeting and prints one line per event frame until the relay closes, or
// with --view shows the stream full-screen.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tools/listen/client_platform.h"
#include "tools/listen/describe.h"
#include "tools/listen/frame.h"
#include "tools/listen/joystick.h"
#include "tools/listen/reconnect.h"
#include "tools/listen/stream.h"
#include "tools/listen/view.h"

namespace {

const char UsageText[] =
    "usage: dorqin-listen [--reconnect] [--json | --view] [host] [port]\n"
    "       dorqin-listen [--reconnect] --joystick [--range MIN:MAX] [host] [port]\n"
    "\n"
    "Connects to dorqin-relay (default 127.0.0.1 port 5003), checks its\n"
    "greeting and prints one line per event until the relay closes the\n"
    "connection.\n"
    "\n"
    "  --json   print each event as {\"typ\":T,\"id\":I,\"value\":V}\n"
    "  --view   show the stream full-screen in this terminal: a bar and the\n"
    "           last value for each analogue channel (TYP 3 ID 0-3, TYP 2\n"
    "           ID 2-3), a cross-hair for TYP 3 ID 0/1, the 16 buttons of\n"
    "           the last button word as lamps, each channel's rate and the\n"
    "           time since its last event, the frame count, the connection\n"
    "           state and the last events. q or Ctrl+C quits; when the\n"
    "           stream ends the view stays until q. Needs a terminal;\n"
    "           Linux only.\n"
    "  --joystick\n"
    "           make the stream a virtual joystick (Linux uinput) once the\n"
    "           greeting is right: TYP 3 ID 0-3 as X, Y, Z, Rx, TYP 2 ID 2-3\n"
    "           as throttle and rudder, the 16 bits of the button word as\n"
    "           buttons; removed when the stream ends, on q, Ctrl+C or\n"
    "           SIGTERM. Needs write access to /dev/uinput; Linux only.\n"
    "  --reconnect\n"
    "           when the connection cannot be made, ends, or brings a bad\n"
    "           greeting or a malformed frame, wait and connect again (0.5 s,\n"
    "           doubling to 5 s) until q, Ctrl+C or SIGTERM; one line on\n"
    "           standard error for each change. --joystick keeps its device\n"
    "           and sets it to rest (buttons up, axes centred) while the\n"
    "           connection is down.\n"
    "  --range MIN:MAX\n"
    "           the axes' range for --joystick (default -32768:32767; a\n"
    "           10-bit box: 0:1023)\n"
    "  --help   show this text\n"
    "  --version\n"
    "           show the version\n"
    "\n"
    "Exit status: 0 the relay ended the stream cleanly (or q was pressed\n"
    "while it ran), 1 no connection, 2 bad arguments, no terminal for\n"
    "--view or no virtual joystick for --joystick, 3 bad greeting, 4\n"
    "malformed frame, 5 stream ended inside a frame, 6 read error. With\n"
    "--reconnect only 0 (q) and 2 are left.\n";

void PrintLine(const std::string& line) {
    fputs(line.c_str(), stdout);
    fputc('\n', stdout);
    fflush(stdout);  // read line by line by pipelines and tests
}

// One read of the stream, its events printed as lines. Returns false
// once the connection is over, with *exitCode and *why as StreamRead gives them.
bool ReadLines(Reconnect* link, StreamReader* reader, bool json, int* exitCode, std::string* why) {
    if (StreamRead(reader, link->Socket, exitCode, why) < 0) return false;
    for (FrameEvent event;;) {
        int step = StreamNext(reader, &event, exitCode, why);
        if (step == StreamNeedMore) return true;
        if (step == StreamFault) return false;
        if (step == StreamGreeting) ReconnectGreeted(link);
        if (step == StreamEvent) PrintLine(json ? EventJson(event) : DescribeEvent(event));
    }
}

// The stream as lines, from one connection (plain) or one after another
// (--reconnect, until q or a stop signal). Returns the exit status.
int RunLines(Reconnect* link, bool json) {
    // Without --reconnect nothing but the stream ends it: its keys and
    // signals are left alone.
    if (link->Again) {
        ClientCatchStops();
        ClientKeysStart();
    }
    StreamReader reader;
    StreamInit(&reader);
    int exitCode = ExitClean;
    std::string why;
    for (;;) {
        int event = ReconnectNext(link, -1);
        if (event == ReconnectQuit) break;
        if (event == ReconnectStopped) {
            ClientEndBySignal();
            break;
        }
        if (event == ReconnectConnected) StreamInit(&reader);
        if (event == ReconnectNoGreeting) ReconnectNoteNoGreeting();
        if (event == ReconnectWaitFailed) {
            exitCode = ExitReadError;
            why = std::string("waiting for the relay failed: ") + ClientErrorText();
            break;
        }
        if (event != ReconnectData || ReadLines(link, &reader, json, &exitCode, &why)) continue;
        if (!link->Again) break;
        ReconnectLost(link, why.empty() ? "the relay closed the connection" : why);
        exitCode = ExitClean;
        why.clear();
    }
    ReconnectEnd(link);
    ClientKeysEnd();
    if (!why.empty()) fprintf(stderr, "dorqin-listen: %s\n", why.c_str());
    return exitCode;
}

bool ParsePort(const char* text) {
    if (!*text) return false;
    long port = 0;
    for (const char* c = text; *c; ++c) {
        if (*c < '0' || *c > '9') return false;
        port = port * 10 + (*c - '0');
        if (port > 65535) return false;
    }
    return port > 0;
}

}  // namespace

int main(int argc, char* argv[]) {
    bool json = false;
    bool view = false;
    bool joystick = false;
    bool reconnect = false;
    const char* range = nullptr;
    const char* host = "127.0.0.1";
    const std::string relayPort = std::to_string(RelayPort);
    const char* port = relayPort.c_str();
    int positional = 0;
    if (ClientStart() != 0) return ExitConnectFailed;
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (strcmp(arg, "--help") == 0 || strcmp(arg, "-h") == 0) {
            fputs(UsageText, stdout);
            return ExitClean;
        }
        if (strcmp(arg, "--version") == 0) {
            puts("dorqin-listen " DORQIN_VERSION);
            return ExitClean;
        }
        if (const char* why = ClientLacksMode(arg)) {
            fprintf(stderr, "dorqin-listen: %s %s\n", arg, why);
            return ExitUsage;
        }
        if (strcmp(arg, "--json") == 0) {
            json = true;
        } else if (strcmp(arg, "--view") == 0) {
            view = true;
        } else if (strcmp(arg, "--joystick") == 0) {
            joystick = true;
        } else if (strcmp(arg, "--reconnect") == 0) {
            reconnect = true;
        } else if (strcmp(arg, "--range") == 0) {
            range = i + 1 < argc ? argv[++i] : "";
        } else if (arg[0] == '-' && arg[1] != '\0') {
            fprintf(stderr, "dorqin-listen: unknown option %s\n%s", arg, UsageText);
            return ExitUsage;
        } else if (positional == 0) {
            host = arg;
            ++positional;
        } else if (positional == 1) {
            if (!ParsePort(arg)) {
                fprintf(stderr, "dorqin-listen: port must be a number from 1 to 65535, not %s\n",
                        arg);
                return ExitUsage;
            }
            port = arg;
            ++positional;
        } else {
            fprintf(stderr, "dorqin-listen: too many arguments\n%s", UsageText);
            return ExitUsage;
        }
    }

    if (json && view) {
        fprintf(stderr, "dorqin-listen: --json and --view exclude each other\n%s", UsageText);
        return ExitUsage;
    }
    JoystickRange axes = JoystickDefaultRange;
    if (int status = JoystickArguments(json, view, joystick, range, &axes); status != 0) {
        fprintf(stderr, "%s", UsageText);
        return status;
    }
    // Refused before connecting: a relay serves one client per run, and
    // a connection that shows nothing would use it up.
    std::string why;
    if (view && !ViewHasTerminal(&why)) {
        fprintf(stderr, "dorqin-listen: %s\n", why.c_str());
        return ExitUsage;
    }
    int uinput = joystick ? JoystickOpenUinput(&why) : -1;
    if (joystick && uinput < 0) {
        fprintf(stderr, "dorqin-listen: %s\n", why.c_str());
        return ExitUsage;
    }

    // Without --reconnect the one connection is made before the mode
    // starts (before --view takes the terminal), waiting as long as the
    // system gives each address.
    Reconnect link;
    ReconnectInit(&link, host, port, reconnect);
    if (!reconnect) {
        int event = ReconnectNext(&link, -1);
        if (event != ReconnectConnected) {
            fprintf(stderr, "dorqin-listen: %s\n",
                    event == ReconnectDown ? link.Why.c_str() : ClientErrorText());
            return ExitConnectFailed;
        }
    }
    if (joystick) return RunJoystick(&link, uinput, axes);
    if (view) return RunView(&link);
    return RunLines(&link, json);
}
