#include "tools/listen/stream.h"

#include <cstdio>
#include <cstring>

namespace {

// The verdict once the relay has closed the connection.
int Verdict(const StreamReader* reader, std::string* message) {
    size_t left = reader->Held - reader->Used;
    char text[160];
    if (!reader->Greeted) {
        snprintf(text, sizeof text,
                 "bad greeting from the relay: the connection closed after %zu of %zu greeting "
                 "bytes",
                 left, StreamGreetingSize);
        *message = text;
        return ExitBadGreeting;
    }
    if (left != 0) {
        snprintf(text, sizeof text, "the stream ended inside frame %lu (%zu of %zu bytes received)",
                 reader->Frames + 1, left, StreamFrameSize);
        *message = text;
        return ExitTruncated;
    }
    return ExitClean;
}

}  // namespace

void StreamInit(StreamReader* reader) {
    reader->Held = 0;
    reader->Used = 0;
    reader->Greeted = false;
    reader->Frames = 0;
}

long StreamRead(StreamReader* reader, ClientSocket socket, int* exitCode, std::string* message) {
    if (reader->Used > 0) {
        memmove(reader->Buffer, reader->Buffer + reader->Used, reader->Held - reader->Used);
        reader->Held -= reader->Used;
        reader->Used = 0;
    }
    long got =
        ClientRead(socket, reader->Buffer + reader->Held, sizeof reader->Buffer - reader->Held);
    if (got > 0) {
        reader->Held += static_cast<size_t>(got);
        return got;
    }
    if (got < 0) {
        *exitCode = ExitReadError;
        *message = std::string("reading from the relay failed: ") + ClientErrorText();
    } else {
        message->clear();
        *exitCode = Verdict(reader, message);
    }
    return -1;
}

int StreamNext(StreamReader* reader, FrameEvent* event, int* exitCode, std::string* message) {
    const unsigned char* at = reader->Buffer + reader->Used;
    size_t left = reader->Held - reader->Used;
    std::string detail;
    if (!reader->Greeted) {
        if (left < StreamGreetingSize) return StreamNeedMore;
        if (CheckGreeting(at, StreamGreetingSize, &detail) != FrameOk) {
            *exitCode = ExitBadGreeting;
            *message = "bad greeting from the relay: " + detail;
            return StreamFault;
        }
        reader->Greeted = true;
        reader->Used += StreamGreetingSize;
        return StreamGreeting;
    }
    if (left < StreamFrameSize) return StreamNeedMore;
    if (ParseEventFrame(at, StreamFrameSize, event, &detail) != FrameOk) {
        unsigned long frames = reader->Frames;
        char where[128];
        snprintf(where, sizeof where, "malformed frame %lu (stream bytes %lu to %lu): ", frames + 1,
                 StreamGreetingSize + frames * StreamFrameSize,
                 StreamGreetingSize + (frames + 1) * StreamFrameSize - 1);
        *exitCode = ExitBadFrame;
        *message = where + detail + "; frame: " + QuoteBytes(at, StreamFrameSize, 64);
        return StreamFault;
    }
    reader->Used += StreamFrameSize;
    ++reader->Frames;
    return StreamEvent;
}

