// The relay server: one TCP client, greeted once, then one fixed-size
// frame per event. The stream is write-only; frames are told apart by
// size alone (44 bytes once, then 100 bytes at a time).
#pragma once

#include <cstdint>

#include "platform/platform.h"

constexpr uint16_t RelayPort = 5003;
constexpr int ListenBacklog = 5;
constexpr WORD SocketVersion = 0x0202;  // Winsock 2.2, asked for and required
constexpr int EventFrameSize = 100;
constexpr int GreetingFrameSize = 44;
constexpr int NoValueMarker = 1023;  // a reading of exactly this is never sent

// A client whose link goes quiet is given up: probes after this many
// milliseconds without traffic, then every KeepAliveInterval; sent data
// left unacknowledged for ClientTimeoutSeconds drops the connection, so
// the next send fails and is reported.
constexpr DWORD KeepAliveIdle = 10000;
constexpr DWORD KeepAliveInterval = 1000;
constexpr DWORD ClientTimeoutSeconds = 20;

// The greeting: 38 characters, zero-filled to GreetingFrameSize on the wire.
constexpr char GreetingText[] = "<DORQIN TYP=\"5\" ID=\"3\" VALUE=\"1023\" />";

struct ServerRecord {
    WSADATA WsaData;
    SOCKET ListenSocket;
    SOCKADDR_IN ListenAddress;
    SOCKET ClientSocket;
    SOCKADDR_IN ClientAddress;
};

// The one process-wide server record.
extern ServerRecord ServerState;

// Starts the socket library, listens on RelayPort, waits for one client and
// greets it. Returns 1 when the client is greeted, or -1 after a failure
// that has been printed and paused for.
int StartServer(void);

// Sends one event frame to the client and echoes its text on the console.
// Returns 1 when sent, 0 when value is NoValueMarker (nothing happens), or
// -1 after a failed send that has been printed and paused for.
int SendEvent(int typ, int id, int value);

// Writes the event text for (typ cut to 16 bits, id, value) into frame,
// which must hold EventFrameSize zero bytes, and returns its length.
int FormatEvent(char* frame, int typ, int id, int value);
