// dorqin-listen: the reference client. Connects to the relay, checks the
// greeting and prints one line per event frame until the relay closes.
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tools/listen/describe.h"
#include "tools/listen/frame.h"

namespace {

enum ExitCode {
    ExitClean = 0,          // the relay closed the stream after whole frames
    ExitConnectFailed = 1,  // refused, unreachable or unknown host
    ExitUsage = 2,
    ExitBadGreeting = 3,
    ExitBadFrame = 4,
    ExitTruncated = 5,  // the stream ended inside a frame
    ExitReadError = 6,  // the connection failed while reading
};

// Before the greeting arrives: a relay already serving a client leaves a
// second one connected but silent, which is worth saying once.
constexpr int GreetingHintMs = 3000;

const char UsageText[] =
    "usage: dorqin-listen [--json] [host] [port]\n"
    "\n"
    "Connects to dorqin-relay (default 127.0.0.1 port 5003), checks its\n"
    "greeting and prints one line per event until the relay closes the\n"
    "connection.\n"
    "\n"
    "  --json   print each event as {\"typ\":T,\"id\":I,\"value\":V}\n"
    "  --help   show this text\n"
    "\n"
    "Exit status: 0 the relay ended the stream cleanly, 1 no connection,\n"
    "2 bad arguments, 3 bad greeting, 4 malformed frame, 5 stream ended\n"
    "inside a frame, 6 read error.\n";

void PrintLine(const std::string& line) {
    fputs(line.c_str(), stdout);
    fputc('\n', stdout);
    fflush(stdout);  // read line by line by pipelines and tests
}

int Connect(const char* host, const char* port) {
    addrinfo hints = {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    // A numeric address first: it needs no name service, which a static
    // build in a bare initramfs does not have.
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
    int status = getaddrinfo(host, port, &hints, &list);
    if (status == EAI_NONAME) {
        hints.ai_flags = AI_NUMERICSERV;
        status = getaddrinfo(host, port, &hints, &list);
    }
    if (status != 0) {
        fprintf(stderr, "dorqin-listen: cannot resolve %s port %s: %s\n", host, port,
                gai_strerror(status));
        return -1;
    }
    int lastError = 0;
    int fd = -1;
    for (addrinfo* at = list; at && fd < 0; at = at->ai_next) {
        fd = socket(at->ai_family, at->ai_socktype | SOCK_CLOEXEC, at->ai_protocol);
        if (fd < 0) {
            lastError = errno;
            continue;
        }
        if (connect(fd, at->ai_addr, at->ai_addrlen) != 0) {
            lastError = errno;
            close(fd);
            fd = -1;
        }
    }
    freeaddrinfo(list);
    if (fd < 0) {
        fprintf(stderr, "dorqin-listen: cannot connect to %s port %s: %s%s\n", host, port,
                strerror(lastError),
                lastError == ECONNREFUSED ? " (is dorqin-relay running?)" : "");
    }
    return fd;
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
    const char* host = "127.0.0.1";
    const char* port = "5003";
    int positional = 0;
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (strcmp(arg, "--help") == 0 || strcmp(arg, "-h") == 0) {
            fputs(UsageText, stdout);
            return ExitClean;
        }
        if (strcmp(arg, "--json") == 0) {
            json = true;
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

    int fd = Connect(host, port);
    if (fd < 0) return ExitConnectFailed;

    unsigned char buffer[4096];
    size_t held = 0;       // bytes in buffer not yet taken as a frame
    bool greeted = false;
    bool hinted = false;
    unsigned long frames = 0;
    for (;;) {
        if (!greeted && !hinted) {
            pollfd waiting = {fd, POLLIN, 0};
            int ready = poll(&waiting, 1, GreetingHintMs);
            if (ready == 0) {
                fprintf(stderr,
                        "dorqin-listen: connected, but no greeting yet (the relay serves one "
                        "client at a time); still waiting\n");
                hinted = true;
                continue;
            }
        }
        ssize_t got = read(fd, buffer + held, sizeof buffer - held);
        if (got < 0) {
            if (errno == EINTR) continue;
            fprintf(stderr, "dorqin-listen: reading from the relay failed: %s\n", strerror(errno));
            return ExitReadError;
        }
        if (got == 0) break;
        held += static_cast<size_t>(got);

        size_t used = 0;
        if (!greeted) {
            if (held < StreamGreetingSize) continue;
            std::string detail;
            if (CheckGreeting(buffer, StreamGreetingSize, &detail) != FrameOk) {
                fprintf(stderr, "dorqin-listen: bad greeting from the relay: %s\n",
                        detail.c_str());
                return ExitBadGreeting;
            }
            greeted = true;
            used = StreamGreetingSize;
        }
        while (held - used >= StreamFrameSize) {
            FrameEvent event;
            std::string detail;
            if (ParseEventFrame(buffer + used, StreamFrameSize, &event, &detail) != FrameOk) {
                fprintf(stderr, "dorqin-listen: malformed frame %lu (stream bytes %lu to %lu): %s; "
                        "frame: %s\n",
                        frames + 1, StreamGreetingSize + frames * StreamFrameSize,
                        StreamGreetingSize + (frames + 1) * StreamFrameSize - 1, detail.c_str(),
                        QuoteBytes(buffer + used, StreamFrameSize, 64).c_str());
                return ExitBadFrame;
            }
            PrintLine(json ? EventJson(event) : DescribeEvent(event));
            used += StreamFrameSize;
            ++frames;
        }
        memmove(buffer, buffer + used, held - used);
        held -= used;
    }

    if (!greeted) {
        fprintf(stderr,
                "dorqin-listen: bad greeting from the relay: the connection closed after %zu of "
                "%zu greeting bytes\n",
                held, StreamGreetingSize);
        return ExitBadGreeting;
    }
    if (held != 0) {
        fprintf(stderr,
                "dorqin-listen: the stream ended inside frame %lu (%zu of %zu bytes received)\n",
                frames + 1, held, StreamFrameSize);
        return ExitTruncated;
    }
    return ExitClean;
}
