// The relay's console output as dorqin-serve passes it on: every text as
// it comes, except the per-event echo lines, which are counted (and passed
// only when asked for), and the few texts that tell the supervisor where a
// run stands.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

struct RelayOutput {
    bool echo = false;           // pass the event lines on too
    uint64_t events = 0;         // event lines seen in this run
    bool clientSeen = false;     // "Verbindung erhalten von: ..." was printed
    bool failurePause = false;   // a failure message after which the relay waits for Enter
    bool noBox = false;          // the run found no box and ends by itself
    bool midLine = false;        // the text passed on last did not end its line
    std::string held;            // the start of a line that may be an event line
    std::string recent;          // the last text passed on, to find messages split by reads
};

// Starts a new run's record; keeps the echo choice.
void ResetRelayOutput(RelayOutput* output);

// Takes one read of the relay's output and appends what is to be passed on
// to out.
void FilterRelayOutput(RelayOutput* output, const char* data, size_t length, std::string* out);

// At the end of a run: whatever is still held goes out, and a line the
// relay left open ("\nEingabe abgeschlossen." has no line end) is ended, so
// that a journal, which stores whole lines, gets it now.
void FinishRelayOutput(RelayOutput* output, std::string* out);
