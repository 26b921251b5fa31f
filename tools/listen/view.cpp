#include "tools/listen/view.h"

#include <curses.h>
#include <poll.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <string>

#include "tools/listen/describe.h"
#include "tools/listen/reconnect.h"
#include "tools/listen/stream.h"
#include "tools/listen/view_model.h"

namespace {

// At most about 30 screens a second however fast events come; ncurses
// sends only what changed, which keeps a slow ssh link usable.
constexpr int64_t MinFrameNs = 33000000;
// With no events the ages and rates still move.
constexpr int64_t IdleFrameNs = 200000000;
constexpr int64_t GreetingHintNs = 3000000000;
constexpr int MinCols = 80;
constexpr int MinLines = 24;

enum ColourPair { PairBar = 1, PairLamp, PairGood, PairBad, PairStale };

volatile sig_atomic_t StopSignal = 0;

void OnStopSignal(int signal) { StopSignal = signal; }

int64_t NowNs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

struct Screen {
    bool Colour;
    const char* Host;
    const char* Port;
    int64_t StartNs;
    int64_t ConnectedNs;  // when the current connection was made
    int64_t RetryNs;      // with --reconnect and no connection: when the next attempt is due
};

void Put(int row, int col, const char* text, int width = -1) {
    if (row < 0 || row >= LINES || col >= COLS) return;
    int room = COLS - col;
    mvaddnstr(row, col, text, width < 0 || width > room ? room : width);
}

void PutAttr(int row, int col, const char* text, attr_t attr, int width = -1) {
    attron(attr);
    Put(row, col, text, width);
    attroff(attr);
}

attr_t ColourAttr(const Screen& screen, int pair) {
    return screen.Colour ? COLOR_PAIR(pair) : A_NORMAL;
}

// "0.3s", "42s", "17m": the age of a channel's last event.
void FormatAge(const ViewChannel& channel, int64_t nowNs, char* out, size_t size) {
    if (!channel.Seen) {
        snprintf(out, size, "-");
        return;
    }
    double seconds = static_cast<double>(nowNs - channel.LastNs) / 1e9;
    if (seconds < 10)
        snprintf(out, size, "%.1fs", seconds);
    else if (seconds < 600)
        snprintf(out, size, "%.0fs", seconds);
    else
        snprintf(out, size, "%.0fm", seconds / 60);
}

// Position 0..cells-1 of a value on the signed 16-bit range; beyond it
// (the frame allows 32-bit values) the value sits at the end.
int Cell(int32_t value, int cells) {
    int64_t clamped = value < -32768 ? -32768 : value > 32767 ? 32767 : value;
    return static_cast<int>(((clamped + 32768) * (cells - 1) + 32767) / 65535);
}

const char* StateText(const ViewModel& model, char* out, size_t size, int64_t untilNs = 0) {
    if (model.State == ViewWaiting) return "waiting for the greeting";
    if (model.State == ViewStreaming) return "greeted, streaming";
    if (model.State == ViewReconnecting) {
        // Rounded up, so that it never shows 0.0 s while it still waits.
        double seconds = static_cast<double>(untilNs > 0 ? untilNs : 0) / 1e9;
        snprintf(out, size, "reconnecting in %.1f s", seconds + 0.05);
        return out;
    }
    switch (model.ExitCode) {
    case ExitClean: return "stream ended by the relay";
    case ExitBadGreeting: return "BAD GREETING";
    case ExitBadFrame:
        snprintf(out, size, "MALFORMED FRAME %" PRIu64, model.Frames + 1);
        return out;
    case ExitTruncated:
        snprintf(out, size, "STREAM ENDED INSIDE FRAME %" PRIu64, model.Frames + 1);
        return out;
    default: return "READ ERROR";
    }
}

void DrawHeader(const Screen& screen, const ViewModel& model, int64_t nowNs) {
    char line[256];
    snprintf(line, sizeof line, "dorqin-listen  %s port %s", screen.Host, screen.Port);
    attron(A_BOLD);
    Put(0, 0, line);
    attroff(A_BOLD);
    char buffer[64];
    const char* state = StateText(model, buffer, sizeof buffer, screen.RetryNs - nowNs);
    bool bad = model.State == ViewEnded && model.ExitCode != ExitClean;
    int pair = bad ? PairBad : model.State == ViewReconnecting ? PairStale : PairGood;
    int col = COLS - static_cast<int>(strlen(state)) - 1;
    PutAttr(0, col < 40 ? 40 : col, state,
            A_BOLD | ColourAttr(screen, pair) |
                (bad && !screen.Colour ? A_REVERSE : A_NORMAL));

    snprintf(line, sizeof line, "frames %" PRIu64 "   %.0f/s", model.Frames, model.Rate);
    std::string text = line;
    if (model.OtherCount > 0) {
        snprintf(line, sizeof line, "   other channels %" PRIu64 " (last TYP=%d ID=%d VALUE=%d)",
                 model.OtherCount, model.LastOther.Typ, model.LastOther.Id, model.LastOther.Value);
        text += line;
    }
    Put(1, 0, text.c_str());
}

// One analogue channel: wire identity, bar over -32768..32767 from the
// centre, last value, rate and age.
void DrawAxis(const Screen& screen, const ViewChannel& axis, int row, int barCells, int64_t nowNs) {
    char text[64];
    snprintf(text, sizeof text, "TYP %d ID %d %-6s", axis.Typ, axis.Id, axis.Name);
    Put(row, 0, text);
    int left = 18;
    Put(row, left, "[");
    Put(row, left + barCells + 1, "]");
    int centre = barCells / 2;
    for (int i = 0; i < barCells; ++i) Put(row, left + 1 + i, i == centre ? "|" : ".");
    if (axis.Seen) {
        int at = Cell(axis.Value, barCells);
        int from = at < centre ? at : centre;
        int to = at < centre ? centre : at;
        attron(ColourAttr(screen, PairBar) | A_BOLD);
        for (int i = from; i <= to; ++i) {
            const char* mark = "#";
            if (i == at && axis.Value < -32768) mark = "<";
            if (i == at && axis.Value > 32767) mark = ">";
            Put(row, left + 1 + i, mark);
        }
        attroff(ColourAttr(screen, PairBar) | A_BOLD);
    }
    int col = left + barCells + 2;
    if (axis.Seen)
        snprintf(text, sizeof text, " %7d", axis.Value);
    else
        snprintf(text, sizeof text, " %7s", "-");
    Put(row, col, text);
    snprintf(text, sizeof text, " %6.0f/s", axis.Rate);
    Put(row, col + 8, text);
    char age[16];
    FormatAge(axis, nowNs, age, sizeof age);
    snprintf(text, sizeof text, " %6s", age);
    bool stale = axis.Seen && nowNs - axis.LastNs > 1000000000;
    PutAttr(row, col + 17, text, stale ? ColourAttr(screen, PairStale) : A_NORMAL);
}

void DrawButtons(const Screen& screen, const ViewModel& model, int row, int rateCol,
                 int64_t nowNs) {
    const ViewChannel& buttons = model.Buttons;
    char text[128];
    char age[16];
    FormatAge(buttons, nowNs, age, sizeof age);
    if (buttons.Seen) {
        snprintf(text, sizeof text, "TYP 1 buttons  word 0x%04X (ID %d)%s",
                 static_cast<unsigned>(buttons.Value) & 0xFFFFu, buttons.Value,
                 buttons.Value < -32768 || buttons.Value > 32767 ? " beyond 16 bits" : "");
    } else {
        snprintf(text, sizeof text, "TYP 1 buttons  no button event yet");
    }
    Put(row, 0, text);
    snprintf(text, sizeof text, " %6.0f/s %6s", buttons.Rate, age);
    Put(row, rateCol, text);
    for (int button = 1; button <= ViewButtonCount; ++button) {
        bool lit = ViewButtonLit(&model, button);
        snprintf(text, sizeof text, lit ? "[%2d]" : " %2d ", button);
        PutAttr(row + 1, 2 + (button - 1) * 4, text,
                lit ? A_REVERSE | A_BOLD | ColourAttr(screen, PairLamp) : A_NORMAL);
    }
}

// TYP 3 channels 0 and 1 against each other; Y grows downwards, as HID's does.
void DrawCrossHair(const Screen& screen, const ViewModel& model, int top, int height) {
    constexpr int Width = 23;
    int inner = height - 2;
    std::string edge = "+" + std::string(Width - 2, '-') + "+";
    Put(top, 0, edge.c_str());
    Put(top, 2, " TYP 3 ID 0/1 ");
    Put(top + height - 1, 0, edge.c_str());
    int midCol = (Width - 2) / 2;
    int midRow = inner / 2;
    for (int r = 0; r < inner; ++r) {
        Put(top + 1 + r, 0, "|");
        Put(top + 1 + r, Width - 1, "|");
        for (int c = 0; c < Width - 2; ++c) {
            const char* mark = r == midRow && c == midCol ? "+"
                               : r == midRow              ? "-"
                               : c == midCol              ? "|"
                                                          : " ";
            Put(top + 1 + r, 1 + c, mark);
        }
    }
    const ViewChannel& x = model.Axes[0];
    const ViewChannel& y = model.Axes[1];
    if (!x.Seen && !y.Seen) return;
    int c = x.Seen ? Cell(x.Value, Width - 2) : midCol;
    int r = y.Seen ? Cell(y.Value, inner) : midRow;
    PutAttr(top + 1 + r, 1 + c, "@", A_BOLD | A_REVERSE | ColourAttr(screen, PairBar));
}

void DrawRecent(const ViewModel& model, int top, int col, int rows) {
    Put(top, col, "last events");
    for (int n = 0; n < rows - 1; ++n) {
        FrameEvent event;
        if (!ViewRecentEvent(&model, n, &event)) break;
        Put(top + 1 + n, col, DescribeEvent(event).c_str());
    }
}

void Draw(const Screen& screen, const ViewModel& model, int64_t nowNs) {
    erase();
    if (COLS < MinCols || LINES < MinLines) {
        char text[160];
        snprintf(text, sizeof text, "dorqin-listen --view needs %dx%d; this terminal is %dx%d",
                 MinCols, MinLines, COLS, LINES);
        Put(0, 0, text);
        char state[64];
        snprintf(text, sizeof text, "frames %" PRIu64 "  %s", model.Frames,
                 StateText(model, state, sizeof state));
        Put(1, 0, text);
        Put(2, 0, "q quits");
        refresh();
        return;
    }
    DrawHeader(screen, model, nowNs);

    int barCells = COLS - 18 - 2 - 24 - 1;
    if (barCells % 2 == 0) --barCells;  // an odd count puts 0 in the middle
    char heading[256];
    snprintf(heading, sizeof heading, "%-18s%-*s0%*s%9s%9s%7s", "channel", barCells / 2 + 1,
             "-32768", barCells / 2, "32767", "value", "rate", "last");
    Put(2, 0, heading);
    for (int i = 0; i < ViewAxisCount; ++i) DrawAxis(screen, model.Axes[i], 3 + i, barCells, nowNs);
    Put(9, 0, "(TYP 3 ID 0 and ID 1 carry X/Y and also Ry/Rz, from two reports)");

    DrawButtons(screen, model, 11, 18 + barCells + 2 + 8, nowNs);

    int top = 14;
    int height = LINES - 1 - top;
    int crossHeight = height > 11 ? 11 : height;
    if (crossHeight % 2 == 0) --crossHeight;  // an odd inside puts 0 in the middle
    DrawCrossHair(screen, model, top, crossHeight);
    DrawRecent(model, top, 25, height);

    char state[64];
    if (model.State == ViewWaiting && nowNs - screen.ConnectedNs > GreetingHintNs) {
        Put(LINES - 1, 0, "connected, but no greeting yet (the relay serves one client at a time)");
    } else if (!model.Message.empty()) {
        int pair = model.State == ViewReconnecting ? PairStale : PairBad;
        PutAttr(LINES - 1, 0, model.Message.c_str(), ColourAttr(screen, pair), COLS - 10);
    } else if (model.State == ViewEnded) {
        Put(LINES - 1, 0, StateText(model, state, sizeof state));
    }
    attron(A_REVERSE);
    Put(LINES - 1, COLS - 9, " q quits ");
    attroff(A_REVERSE);
    refresh();
}

void Take(StreamReader* reader, ViewModel* model, int64_t nowNs) {
    for (;;) {
        FrameEvent event;
        int exitCode = 0;
        std::string message;
        switch (StreamNext(reader, &event, &exitCode, &message)) {
        case StreamNeedMore: return;
        case StreamGreeting: ViewModelGreeted(model); break;
        case StreamEvent: ViewModelEvent(model, event, nowNs); break;
        case StreamFault: ViewModelEnd(model, exitCode, message); return;
        }
    }
}

}  // namespace

namespace {

// The view over one connection (fd, state null), or over one after another
// (fd -1, state set: --reconnect).
int Show(ClientSocket fd, const char* host, const char* port, Reconnect* state) {
    // Our own handlers, set before ncurses starts, so that it leaves them
    // alone: Ctrl+C ends the loop, which restores the terminal first.
    struct sigaction action = {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);

    SCREEN* terminal = newterm(nullptr, stdout, stdin);
    if (!terminal) {
        const char* term = getenv("TERM");
        fprintf(stderr, "dorqin-listen: --view cannot drive this terminal (TERM=%s)\n",
                term ? term : "unset");
        return ExitUsage;
    }
    cbreak();
    noecho();
    nonl();
    keypad(stdscr, TRUE);
    nodelay(stdscr, TRUE);
    curs_set(0);
    Screen screen = {false, host, port, NowNs(), 0, 0};
    screen.ConnectedNs = screen.StartNs;
    if (has_colors()) {
        start_color();
        use_default_colors();
        init_pair(PairBar, COLOR_CYAN, -1);
        init_pair(PairLamp, COLOR_GREEN, -1);
        init_pair(PairGood, COLOR_GREEN, -1);
        init_pair(PairBad, COLOR_RED, -1);
        init_pair(PairStale, COLOR_YELLOW, -1);
        screen.Colour = true;
    }

    StreamReader reader;
    StreamInit(&reader);
    ViewModel model;
    ViewModelInit(&model, screen.StartNs);
    bool dirty = true;
    bool quit = false;
    // Keys come from standard input; from a file or /dev/null there are
    // none, and polling it would spin. Ctrl+C still ends the view.
    bool keys = isatty(STDIN_FILENO) == 1;
    int64_t lastDrawNs = screen.StartNs - IdleFrameNs;
    int64_t& retryNs = screen.RetryNs;
    retryNs = screen.StartNs;
    // The terminal is the view's; the notes go to standard error only when
    // it leads elsewhere (a file, say).
    bool notes = isatty(STDERR_FILENO) != 1;
    auto lost = [&](bool connected, const std::string& why) {
        std::string line;
        int pause = ReconnectFailed(state, connected, why, &line);
        if (notes && !line.empty()) fprintf(stderr, "%s\n", line.c_str());
        // The pause counts down in the header; the line at the bottom says why.
        ViewModelReconnecting(&model, (connected ? "connection lost: " : "") + why);
        retryNs = NowNs() + int64_t(pause) * 1000000;
        dirty = true;
    };
    while (!quit && StopSignal == 0) {
        int64_t now = NowNs();
        if (state && fd < 0 && now >= retryNs) {
            std::string why;
            if (ReconnectConnect(state, &fd, &why) == 0) {
                StreamInit(&reader);
                ViewModelConnected(&model);
                screen.ConnectedNs = NowNs();
            } else {
                fd = -1;
                if (StopSignal != 0) break;
                lost(false, why);
            }
            dirty = true;
            now = NowNs();
        }
        ViewModelTick(&model, now);
        int64_t since = now - lastDrawNs;
        if (since >= IdleFrameNs || (dirty && since >= MinFrameNs)) {
            Draw(screen, model, now);
            lastDrawNs = now;
            dirty = false;
            since = 0;
        }
        int64_t waitNs = (dirty ? MinFrameNs : IdleFrameNs) - since;
        if (state && fd < 0 && retryNs - now < waitNs) waitNs = retryNs - now;
        if (waitNs < 0) waitNs = 0;
        pollfd fds[2] = {{keys ? STDIN_FILENO : -1, POLLIN, 0},
                         {model.State == ViewEnded ? -1 : fd, POLLIN, 0}};
        // While a draw is due, the socket waits: events queue in the
        // kernel and are all counted at the next read.
        int ready = poll(fds, 2, static_cast<int>(waitNs / 1000000) + 1);
        if (ready < 0 && errno != EINTR) break;

        for (int key; (key = getch()) != ERR;) {
            if (key == 'q' || key == 'Q') quit = true;
            if (key == KEY_RESIZE) dirty = true;
        }
        if (ready > 0 && fds[1].fd >= 0 && (fds[1].revents & (POLLIN | POLLHUP | POLLERR))) {
            ssize_t got = StreamRead(&reader, fd);
            now = NowNs();
            if (got < 0 && errno != EINTR) {
                ViewModelEnd(&model, ExitReadError,
                             std::string("reading from the relay failed: ") + strerror(errno));
            } else if (got == 0) {
                std::string message;
                int verdict = StreamEnd(&reader, &message);
                if (state && verdict == ExitClean) message = "the relay closed the connection";
                ViewModelEnd(&model, verdict, message);
            } else if (got > 0) {
                bool greeted = reader.Greeted;
                Take(&reader, &model, now);
                if (state && !greeted && reader.Greeted) {
                    std::string line = ReconnectGreeted(state);
                    if (notes) fprintf(stderr, "%s\n", line.c_str());
                }
            }
            dirty = true;
            if (state && model.State == ViewEnded) {
                ClientClose(fd);
                fd = -1;
                lost(true, model.Message);
            }
        }
    }
    if (state && fd >= 0) ClientClose(fd);
    endwin();
    delscreen(terminal);

    if (!state && !model.Message.empty())
        fprintf(stderr, "dorqin-listen: %s\n", model.Message.c_str());
    if (StopSignal != 0) {
        int stop = StopSignal;
        signal(stop, SIG_DFL);
        raise(stop);
    }
    return model.State == ViewEnded ? model.ExitCode : ExitClean;
}

}  // namespace

int RunView(ClientSocket fd, const char* host, const char* port) {
    return Show(fd, host, port, nullptr);
}

int RunViewReconnecting(const char* host, const char* port) {
    Reconnect state;
    ReconnectInit(&state, host, port);
    return Show(-1, host, port, &state);
}

// term.h defines every terminfo capability as a macro (buttons, lines,
// columns among them), so it comes last, after the code that uses those words.
#include <term.h>

bool ViewHasTerminal(std::string* why) {
    if (isatty(STDOUT_FILENO) != 1) {
        *why = "--view needs a terminal on standard output; without one, leave out --view (or use "
               "--json) for one line per event";
        return false;
    }
    int error = 0;
    if (setupterm(nullptr, STDOUT_FILENO, &error) != OK) {
        const char* term = getenv("TERM");
        *why = std::string("--view cannot drive this terminal (TERM=") + (term ? term : "unset") +
               "): no terminfo entry for it";
        return false;
    }
    del_curterm(cur_term);
    return true;
}
