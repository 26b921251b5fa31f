// The relay's stream as both ends know it: the port, a 44-byte greeting
// once, then one 100-byte frame per event, told apart by size alone. The
// relay sends it; dorqin-listen and the bench read it with these same
// figures. Plain C++, no platform header, so any tool can include it.
#pragma once

#include <cstdint>

constexpr uint16_t RelayPort = 5003;
constexpr int EventFrameSize = 100;
constexpr int GreetingFrameSize = 44;
constexpr int32_t NoValueMarker = 1023;  // a reading of exactly this is never sent

// The greeting: 38 characters, zero-filled to GreetingFrameSize on the wire.
constexpr char GreetingText[] = "<DORQIN TYP=\"5\" ID=\"3\" VALUE=\"1023\" />";
