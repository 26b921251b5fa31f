#include "net/server.h"

#include <cstring>

#include "common/console.h"

ServerRecord ServerState = {{}, INVALID_SOCKET, {}, INVALID_SOCKET, {}};

namespace {

// Sends all of buffer. Winsock's blocking send moves everything or fails,
// but it may stop short when interrupted; a frame cut short would shift
// every later frame for a client that splits the stream by size, so the
// rest is sent too. Returns false on a send error.
bool SendWhole(const char* buffer, int length) {
    while (length > 0) {
        int sent = send(ServerState.ClientSocket, buffer, length, 0);
        if (sent == SOCKET_ERROR) return false;
        buffer += sent;
        length -= sent;
    }
    return true;
}

// Best effort, like TCP_NODELAY: a platform that refuses either option
// leaves the client to its defaults (about 15 minutes of retries on
// Linux, none at all while nothing is sent).
void WatchClientLink(void) {
    tcp_keepalive keepAlive = {1, KeepAliveIdle, KeepAliveInterval};
    DWORD returned = 0;
    WSAIoctl(ServerState.ClientSocket, SIO_KEEPALIVE_VALS, &keepAlive, sizeof keepAlive, nullptr,
             0, &returned, nullptr, nullptr);
    const DWORD timeout = ClientTimeoutSeconds;
    setsockopt(ServerState.ClientSocket, IPPROTO_TCP, TCP_MAXRT,
               reinterpret_cast<const char*>(&timeout), sizeof timeout);
}

int FailStartup(const char* message) {
    WSACleanup();
    ConsolePrint(message);
    PauseForInput();
    return -1;
}

// The template's fixed pieces, copied with their lengths known at compile
// time: a frame is formatted for every event.
constexpr char kTypPiece[] = "<DORQIN TYP=\"";
constexpr char kIdPiece[] = "\" ID=\"";
constexpr char kValuePiece[] = "\" VALUE=\"";
constexpr char kEndPiece[] = "\" />";

char* AppendPiece(char* out, const char* piece, size_t length) {
    memcpy(out, piece, length);
    return out + length;
}

char* AppendDecimal(char* out, int32_t value) {
    // Through uint32_t so that -2147483648 has a magnitude too.
    uint32_t magnitude = static_cast<uint32_t>(value);
    if (value < 0) {
        *out++ = '-';
        magnitude = 0u - magnitude;
    }
    // Digits from the last, then copied out in one piece.
    char digits[10];
    int first = sizeof digits;
    do {
        digits[--first] = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    return AppendPiece(out, digits + first, sizeof digits - first);
}

}  // namespace

int FormatEvent(char* frame, int typ, int id, int value) {
    char* out = AppendPiece(frame, kTypPiece, sizeof kTypPiece - 1);
    out = AppendDecimal(out, static_cast<int16_t>(typ));
    out = AppendPiece(out, kIdPiece, sizeof kIdPiece - 1);
    out = AppendDecimal(out, id);
    out = AppendPiece(out, kValuePiece, sizeof kValuePiece - 1);
    out = AppendDecimal(out, value);
    out = AppendPiece(out, kEndPiece, sizeof kEndPiece - 1);
    return static_cast<int>(out - frame);
}

int StartServer(void) {
    if (WSAStartup(SocketVersion, &ServerState.WsaData) != 0) {
        ConsolePrint("Fehler bei der Initialisierung der der ws2_32.dll.");
        PauseForInput();
        return -1;
    }
    if (ServerState.WsaData.wVersion != SocketVersion) {
        return FailStartup("Fehler bei der Initialisierung der der ws2_32.dll. Falsche Version");
    }

    // A failed socket() is not checked here: bind and listen then fail on
    // it and report the failure.
    ServerState.ListenSocket = socket(AF_INET, SOCK_STREAM, 0);
    ServerState.ListenAddress.sin_family = AF_INET;
    ServerState.ListenAddress.sin_port = htons(RelayPort);
    ServerState.ListenAddress.sin_addr.s_addr = htonl(INADDR_ANY);
    bool bound = bind(ServerState.ListenSocket,
                      reinterpret_cast<SOCKADDR*>(&ServerState.ListenAddress),
                      sizeof ServerState.ListenAddress) != SOCKET_ERROR;
    if (!bound) ConsolePrint("Es ist ein Fehler beim Binden des Sockets aufgetreten.");
    if (!bound || listen(ServerState.ListenSocket, ListenBacklog) == SOCKET_ERROR) {
        return FailStartup("Fehler beim Initialisieren des Listen Vorganges!");
    }

    int addressLength = sizeof ServerState.ClientAddress;
    ServerState.ClientSocket =
        accept(ServerState.ListenSocket, reinterpret_cast<SOCKADDR*>(&ServerState.ClientAddress),
               &addressLength);
    if (ServerState.ClientSocket == INVALID_SOCKET) {
        return FailStartup("Verbindung vom Sender konnte nicht akzeptiert werder");
    }
    ConsolePrintf("Verbindung erhalten von: %s\n", inet_ntoa(ServerState.ClientAddress.sin_addr));
    // Every frame leaves at once: with Nagle's algorithm on, the second
    // frame of a report waits for the client to acknowledge the first, and
    // a client that delays its ACKs stalls the stream by 40 ms and more.
    // Best effort; the stream is the same bytes either way.
    const int noDelay = 1;
    setsockopt(ServerState.ClientSocket, IPPROTO_TCP, TCP_NODELAY,
               reinterpret_cast<const char*>(&noDelay), sizeof noDelay);
    WatchClientLink();

    char greeting[EventFrameSize] = {};
    memcpy(greeting, GreetingText, sizeof GreetingText - 1);
    if (!SendWhole(greeting, GreetingFrameSize)) {
        return FailStartup("Fehler beim Versenden der Daten.");
    }
    return 1;
}

int SendEvent(int typ, int id, int value) {
    if (value == NoValueMarker) return 0;
    // The text is at most 60 characters, so the echo's line feed fits in
    // the frame's zero fill once the frame has been sent.
    char frame[EventFrameSize] = {};
    int length = FormatEvent(frame, typ, id, value);
    if (!SendWhole(frame, EventFrameSize)) {
        return FailStartup("Fehler beim Versenden der Daten.");
    }
    // Text and line break in one write, so a line on the console is never
    // split by anything else.
    frame[length] = '\n';
    ConsoleWrite(frame, length + 1);
    return 1;
}
