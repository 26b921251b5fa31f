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

bool IsEventLine(const std::string& line) {
    const size_t start = sizeof kEventStart - 1, end = sizeof kEventEnd - 1;
    return line.size() >= start + end && line.compare(0, start, kEventStart) == 0 &&
           line.compare(line.size() - end, end, kEventEnd) == 0;
}

// Text at a line's start that is, or may still become, an event line.
bool MayBeEventLine(const std::string& text) {
    const size_t n = text.size() < sizeof kEventStart - 1 ? text.size() : sizeof kEventStart - 1;
    return text.compare(0, n, kEventStart, n) == 0;
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
    std::string& text = output->held;
    text.append(data, length);
    size_t pos = 0;
    while (pos < text.size()) {
        const size_t lineEnd = text.find('\n', pos);
        if (output->midLine) {
            // The rest of a line already begun is no event line.
            const size_t end = lineEnd == std::string::npos ? text.size() : lineEnd + 1;
            PassOn(output, text.data() + pos, end - pos, out);
            pos = end;
            continue;
        }
        if (lineEnd == std::string::npos) {
            // An event is echoed in one write, but a read may still end
            // inside it: keep what may be one until its line ends.
            if (MayBeEventLine(text.substr(pos))) break;
            PassOn(output, text.data() + pos, text.size() - pos, out);
            pos = text.size();
            break;
        }
        const std::string line = text.substr(pos, lineEnd - pos);
        if (IsEventLine(line)) {
            output->events++;
            if (output->echo) out->append(text, pos, lineEnd + 1 - pos);
        } else {
            PassOn(output, text.data() + pos, lineEnd + 1 - pos, out);
        }
        pos = lineEnd + 1;
    }
    text.erase(0, pos);
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
