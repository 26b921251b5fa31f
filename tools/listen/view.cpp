#include "tools/listen/view.h"

#include <curses.h>
#include <time.h>
#include <unistd.h>

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
constexpr int MinCols = 80;
constexpr int MinLines = 24;

enum ColourPair { PairBar = 1, PairLamp, PairGood, PairBad, PairStale };

int64_t NowNs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

struct Screen {
    bool Colour;
    const Reconnect* Link;
    bool NoGreeting;  // connected a while ago, and still no greeting
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

const char* StateText(const ViewModel& model, const Reconnect& link, char* out, size_t size) {
    if (model.State == ViewWaiting) return "waiting for the greeting";
    if (model.State == ViewStreaming) return "greeted, streaming";
    if (model.State == ViewReconnecting && link.Phase == PhaseConnecting) return "connecting";
    if (model.State == ViewReconnecting) {
        // Rounded up, so that it never shows 0.0 s while it still waits.
        long long untilMs = link.DeadlineMs - ClientNowMs();
        double seconds = static_cast<double>(untilMs > 0 ? untilMs : 0) / 1e3;
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

void DrawHeader(const Screen& screen, const ViewModel& model) {
    char line[256];
    snprintf(line, sizeof line, "dorqin-listen  %s port %s", screen.Link->Host, screen.Link->Port);
    attron(A_BOLD);
    Put(0, 0, line);
    attroff(A_BOLD);
    char buffer[64];
    const char* state = StateText(model, *screen.Link, buffer, sizeof buffer);
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
                 StateText(model, *screen.Link, state, sizeof state));
        Put(1, 0, text);
        Put(2, 0, "q quits");
        refresh();
        return;
    }
    DrawHeader(screen, model);

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
    if (model.State == ViewWaiting && screen.NoGreeting) {
        Put(LINES - 1, 0, "connected, but no greeting yet (the relay serves one client at a time)");
    } else if (!model.Message.empty()) {
        int pair = model.State == ViewReconnecting ? PairStale : PairBad;
        PutAttr(LINES - 1, 0, model.Message.c_str(), ColourAttr(screen, pair), COLS - 10);
    } else if (model.State == ViewEnded) {
        Put(LINES - 1, 0, StateText(model, *screen.Link, state, sizeof state));
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

// One read of the stream into the model; the end of the connection
// (ViewEnded) closes it, and with --reconnect the pause begins.
void Read(Reconnect* link, StreamReader* reader, ViewModel* model) {
    int exitCode = ExitClean;
    std::string message;
    if (StreamRead(reader, link->Socket, &exitCode, &message) < 0) {
        ViewModelEnd(model, exitCode, message);
    } else {
        bool greeted = reader->Greeted;
        Take(reader, model, NowNs());
        if (!greeted && reader->Greeted) ReconnectGreeted(link);
    }
    if (model->State != ViewEnded) return;
    if (!link->Again) {
        ReconnectLost(link, model->Message);
        return;
    }
    std::string why = model->Message.empty() ? "the relay closed the connection" : model->Message;
    ReconnectLost(link, why);
    // The pause counts down in the header; the line at the bottom says why.
    ViewModelReconnecting(model, "connection lost: " + why);
}

}  // namespace

int RunView(Reconnect* link) {
    // Our own handlers, set before ncurses starts, so that it leaves them
    // alone: Ctrl+C ends the loop, which restores the terminal first.
    ClientCatchStops();
    SCREEN* terminal = newterm(nullptr, stdout, stdin);
    if (!terminal) {
        const char* term = getenv("TERM");
        fprintf(stderr, "dorqin-listen: --view cannot drive this terminal (TERM=%s)\n",
                term ? term : "unset");
        ReconnectEnd(link);
        return ExitUsage;
    }
    cbreak();
    noecho();
    nonl();
    keypad(stdscr, TRUE);
    nodelay(stdscr, TRUE);
    curs_set(0);
    Screen screen = {false, link, false};
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
    // Keys come from standard input, read by curses; from a file or
    // /dev/null there are none, and watching it would spin. Ctrl+C still
    // ends the view.
    if (isatty(STDIN_FILENO) == 1) ClientKeysWatch();
    // The terminal is the view's; the notes go to standard error only when
    // it leads elsewhere (a file, say).
    link->Notes = link->Again && isatty(STDERR_FILENO) != 1;

    StreamReader reader;
    StreamInit(&reader);
    ViewModel model;
    ViewModelInit(&model, NowNs());
    if (link->Phase != PhaseConnected) ViewModelReconnecting(&model, "");
    bool dirty = true;
    bool quit = false;
    bool stopped = false;
    int64_t lastDrawNs = NowNs() - IdleFrameNs;
    while (!quit) {
        int64_t now = NowNs();
        ViewModelTick(&model, now);
        int64_t since = now - lastDrawNs;
        if (since >= IdleFrameNs || (dirty && since >= MinFrameNs)) {
            Draw(screen, model, now);
            lastDrawNs = now;
            dirty = false;
            since = 0;
        }
        // At most until the next draw is due; a connect under way and the
        // pause before it are waited for in the same wait.
        int64_t waitNs = (dirty ? MinFrameNs : IdleFrameNs) - since;
        int event = ReconnectNext(link, waitNs > 0 ? static_cast<int>(waitNs / 1000000) + 1 : 0);
        // A resize comes as a key, and may come at any time.
        for (int key; (key = getch()) != ERR;) {
            if (key == 'q' || key == 'Q') quit = true;
            if (key == KEY_RESIZE) dirty = true;
        }
        switch (event) {
        case ReconnectStopped: quit = stopped = true; break;
        case ReconnectWaitFailed:
            ViewModelEnd(&model, ExitReadError,
                         std::string("waiting for the relay failed: ") + ClientErrorText());
            quit = true;
            break;
        case ReconnectConnected:
            StreamInit(&reader);
            ViewModelConnected(&model);
            screen.NoGreeting = false;
            dirty = true;
            break;
        case ReconnectNoGreeting: screen.NoGreeting = dirty = true; break;
        case ReconnectDown:
            ViewModelReconnecting(&model, link->Why);
            dirty = true;
            break;
        case ReconnectData:
            Read(link, &reader, &model);
            dirty = true;
            break;
        default: break;
        }
    }
    ReconnectEnd(link);
    endwin();
    delscreen(terminal);

    if (!link->Again && !model.Message.empty())
        fprintf(stderr, "dorqin-listen: %s\n", model.Message.c_str());
    if (stopped) ClientEndBySignal();
    return model.State == ViewEnded ? model.ExitCode : ExitClean;
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
