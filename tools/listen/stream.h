// Reading the relay's stream from a socket: the greeting, then whole event
// frames, each checked by frame.h. The plain output and the full-screen
// view both read through this, so they agree on every verdict.
#pragma once

#include <cstddef>
#include <string>

#include "tools/listen/client_platform.h"
#include "tools/listen/frame.h"

// dorqin-listen's exit statuses, the same in every mode.
enum ListenExit {
    ExitClean = 0,          // the relay closed the stream after whole frames
    ExitConnectFailed = 1,  // refused, unreachable or unknown host
    ExitUsage = 2,          // bad arguments, or no terminal for the view
    ExitBadGreeting = 3,
    ExitBadFrame = 4,
    ExitTruncated = 5,  // the stream ended inside a frame
    ExitReadError = 6,  // the connection failed while reading
};

struct StreamReader {
    unsigned char Buffer[4096];
    size_t Held;  // bytes in Buffer
    size_t Used;  // of those, bytes already taken as the greeting or frames
    bool Greeted;
    unsigned long Frames;  // event frames taken
};

void StreamInit(StreamReader* reader);

// One read from the socket into the reader, once ClientWait has said it
// would not block. Returns the byte count, or -1 once the stream is over: *exitCode and *message say how (ExitClean and "" when the relay
// closed it after whole frames, ExitBadGreeting or ExitTruncated when it
// closed it early, ExitReadError when the read failed). The message is the
// English text for standard error, without the program's name.
long StreamRead(StreamReader* reader, ClientSocket socket, int* exitCode, std::string* message);

enum StreamStep {
    StreamNeedMore = 0,  // read again
    StreamGreeting,      // the greeting arrived and is right
    StreamEvent,         // *event holds the next event
    StreamFault,         // *exitCode and *message say what is wrong; stop reading
};

// Takes the next greeting or frame out of what has been read, with the
// verdict on a fault as StreamRead gives it.
int StreamNext(StreamReader* reader, FrameEvent* event, int* exitCode, std::string* message);
