#include "tools/serve/relay_output.h"

#include <cstring>

namespace {

constexpr char kEventStart[] = "<DORQIN TYP=\"";
constexpr char kEventEnd[] = "\" />";
constexpr char kClientText[] = "Verbindung erhalten von: ";
constexpr char kNoBoxText[] = "Die DORQIn Box konnte nicht initialisiert werden";

// The relay's failure messages that are followed by a wait for Enter: the
// socket library, listen (a taken port ends here), accept and send. None
// ends its line, so they are looked for in the text as it comes.
constexpr const char* kPausingFailures[] = {
    "Fehler bei der Initialisierung der der ws2_32.dll.",
    "Fehler beim Initialisieren des Listen Vorganges!",
    "Verbindung vom Sender konnte nicht akzeptiert werder",
    "Fehler beim Versenden der Daten.",
};

// Enough of the passed-on text to hold the longest message whole.
constexpr size_t kRecentKept = 128;

bool IsEventLine(const char* line, size_t length) {
    const size_t start = sizeof kEventStart - 1, end = sizeof kEventEnd - 1;
    return length >= start + end && memcmp(line, kEventStart, start) == 0 &&
           memcmp(line + length - end, kEventEnd, end) == 0;
}

// Text at a line's start that is, or may still become, an event line.
bool MayBeEventLine(const char* text, size_t length) {
    const size_t n = length < sizeof kEventStart - 1 ? length : sizeof kEventStart - 1;
    return memcmp(text, kEventStart, n) == 0;
}

void PassOn(RelayOutput* output, const char* text, size_t length, std::string* out) {
    if (length == 0) return;
    out->append(text, length);
    output->midLine = text[length - 1] != '\n';
    output->recent.append(text, length);
    for (const char* message : kPausingFailures) {
        if (output->recent.find(message) != std::string::npos) output->failurePause = true;
    }
    if (output->recent.find(kClientText) != std::string::npos) output->clientSeen = true;
    if (output->recent.find(kNoBoxText) != std::string::npos) output->noBox = true;
    // Once found, a message is not found again in the next read.
    if (output->failurePause || output->recent.size() > kRecentKept) {
        size_t keep = output->failurePause ? 0 : kRecentKept / 2;
        output->recent.erase(0, output->recent.size() - keep);
    }
}

}  // namespace

void ResetRelayOutput(RelayOutput* output) {
    const bool echo = output->echo;
    *output = RelayOutput();
    output->echo = echo;
}

void FilterRelayOutput(RelayOutput* output, const char* data, size_t length, std::string* out) {
    // Lines are taken straight from the read; only a line's start that the
    // read cut off waits in held for the rest. At a hundred thousand events
    // a second this runs once per read, with no copy per line.
    if (!output->held.empty()) {
        output->held.append(data, length);
        std::string pending;
        pending.swap(output->held);
        FilterRelayOutput(output, pending.data(), pending.size(), out);
        return;
    }
    const char* text = data;
    const char* end = data + length;
    while (text < end) {
        const char* lineEnd = static_cast<const char*>(memchr(text, '\n', end - text));
        if (output->midLine) {
            // The rest of a line already begun is no event line.
            const char* stop = lineEnd ? lineEnd + 1 : end;
            PassOn(output, text, stop - text, out);
            text = stop;
            continue;
        }
        if (!lineEnd) {
            // An event is echoed in one write, but a read may still end
            // inside it: keep what may be one until its line ends.
            if (MayBeEventLine(text, end - text)) {
                output->held.assign(text, end - text);
            } else {
                PassOn(output, text, end - text, out);
            }
            return;
        }
        if (IsEventLine(text, lineEnd - text)) {
            output->events++;
            if (output->echo) out->append(text, lineEnd + 1 - text);
        } else {
            PassOn(output, text, lineEnd + 1 - text, out);
        }
        text = lineEnd + 1;
    }
}

void FinishRelayOutput(RelayOutput* output, std::string* out) {
    if (!output->held.empty()) {
        PassOn(output, output->held.data(), output->held.size(), out);
        output->held.clear();
    }
    if (output->midLine) {
        out->push_back('\n');
        output->midLine = false;
    }
}
