#include "tools/listen/describe.h"

#include <cstdio>

namespace {

// Which readings feed which channel: report 2 and report 4 share TYP 3
// channels 0 and 1, report 3 feeds 2 and 3, report 5 feeds TYP 2.
const char* ChannelName(int typ, int id) {
    if (typ == 3) {
        switch (id) {
        case 0: return "axis X/Ry";
        case 1: return "axis Y/Rz";
        case 2: return "axis Z";
        case 3: return "axis Rx";
        }
    } else if (typ == 2) {
        switch (id) {
        case 2: return "Slider";
        case 3: return "Dial";
        }
    }
    return nullptr;
}

}  // namespace

std::string DescribeEvent(const FrameEvent& event) {
    char line[160];
    int length = snprintf(line, sizeof line, "TYP=%d ID=%d VALUE=%d  [", event.Typ, event.Id,
                          event.Value);
    std::string out(line, static_cast<size_t>(length));
    if (event.Typ == 1) {
        // The button word travels in ID, signed; bit n is button n+1.
        unsigned word = static_cast<unsigned>(event.Id) & 0xFFFFu;
        snprintf(line, sizeof line, "buttons 0x%04X:", word);
        out += line;
        if (word == 0) out += " none";
        for (int bit = 0; bit < 16; ++bit) {
            if (word & (1u << bit)) out += " " + std::to_string(bit + 1);
        }
        if (event.Id < -32768 || event.Id > 32767) out += " (ID beyond 16 bits)";
    } else if (const char* name = ChannelName(event.Typ, event.Id)) {
        out += name;
    } else {
        out += "unknown channel";
    }
    out += "]";
    return out;
}

std::string EventJson(const FrameEvent& event) {
    char line[96];
    snprintf(line, sizeof line, "{\"typ\":%d,\"id\":%d,\"value\":%d}", event.Typ, event.Id,
             event.Value);
    return line;
}
