// What dorqin-listen's full-screen view shows, kept apart from the drawing:
// every checked event is counted here, however few of them reach the
// screen. Plain data and functions; times are monotonic nanoseconds passed
// in, so the model runs without a terminal or a clock.
#pragma once

#include <cstdint>
#include <string>

#include "tools/listen/frame.h"

// The relay's analogue channels in the order the view lists them: TYP 3
// channels 0 to 3, then TYP 2 channels 2 and 3. Buttons (TYP 1) are apart.
constexpr int ViewAxisCount = 6;
constexpr int ViewButtonCount = 16;
// Events kept for the text list at the bottom of the view.
constexpr int ViewRecentCount = 64;

enum ViewState {
    ViewWaiting = 0,  // connected, no greeting yet
    ViewStreaming,    // greeted; events may come
    ViewEnded,        // the stream is over; ExitCode and Message say how
    ViewReconnecting,  // --reconnect between connections; Message says why the last one ended
};

struct ViewChannel {
    int Typ;
    int Id;                // for buttons, unused: the word travels in ID
    const char* Name;      // what the relay puts on this channel
    bool Seen;             // an event has arrived
    int32_t Value;         // last VALUE (for buttons, the last ID: the word)
    uint64_t Count;        // events so far
    int64_t LastNs;        // when the last one arrived
    uint64_t WindowCount;  // Count when the rate window began
    double Rate;           // events per second over the last full window
};

struct ViewModel {
    ViewChannel Axes[ViewAxisCount];
    ViewChannel Buttons;
    // Events on a TYP/ID the relay has no row for; the frame check lets
    // them through, so they are counted, not drawn as a channel.
    uint64_t OtherCount;
    FrameEvent LastOther;
    uint64_t Frames;
    uint64_t WindowFrames;
    double Rate;
    int64_t WindowStartNs;
    FrameEvent Recent[ViewRecentCount];  // a ring; the newest at (Frames - 1) % size
    int State;
    int ExitCode;         // once ended: the status dorqin-listen exits with
    std::string Message;  // once ended by a fault: what went wrong
};

void ViewModelInit(ViewModel* model, int64_t nowNs);
void ViewModelGreeted(ViewModel* model);
void ViewModelEvent(ViewModel* model, const FrameEvent& event, int64_t nowNs);
// The stream is over: exitCode as the plain mode would exit, message empty
// for a clean end.
void ViewModelEnd(ViewModel* model, int exitCode, const std::string& message);
// --reconnect: the connection is gone or could not be made (note says
// why; "" before the first attempt), and a new one is made. Every channel
// keeps its last value and counts on.
void ViewModelReconnecting(ViewModel* model, const std::string& note);
void ViewModelConnected(ViewModel* model);
// Closes the rate window once a second has passed; call before drawing.
void ViewModelTick(ViewModel* model, int64_t nowNs);

// Whether button 1..16 is down in the last button word.
bool ViewButtonLit(const ViewModel* model, int button);
// The n-th newest event kept (0 the newest); false beyond what is kept.
bool ViewRecentEvent(const ViewModel* model, int n, FrameEvent* event);
