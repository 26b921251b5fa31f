// dorqin-relay: bridges the DORQIn Box to one TCP client until the user
// presses Enter.
#include "box/box.h"
#include "common/console.h"
#include "net/server.h"
#include "relay/relay.h"

int main(int argc, char* argv[], char* envp[]) {
    (void)argc;
    (void)argv;
    (void)envp;

    // The network comes first: with no client the box is never opened.
    if (StartServer() == -1) return -1;

    ConsolePrint("Initialiesierung Einlesen:\n\n");
    // Without a report buffer the box is as good as missing.
    if (FindBox(BoxUsagePage, BoxUsage) == 1 && AllocReportBuffer() == 1) {
        // The handle is never closed: the thread ends with the run.
        HANDLE relay = CreateThread(nullptr, 0, RelayThread, nullptr, 0, nullptr);
        PauseForInput();
        // Wherever the relay is (a device read, a send, its own pause), it
        // is stopped without its cooperation. TerminateThread only starts
        // the stop, so wait until the thread is gone: after this nothing is
        // sent or echoed. A thread that never started leaves nothing to stop.
        if (relay) {
            TerminateThread(relay, 0);
            WaitForSingleObject(relay, INFINITE);
        }
    } else {
        ConsolePrint("Die DORQIn Box konnte nicht initialisiert werden\n\n");
    }
    ConsolePrint("\nEingabe abgeschlossen.");

    // The client connection, the box and the socket library end with the
    // process; only the listening socket is closed by name.
    shutdown(ServerState.ListenSocket, SD_RECEIVE);
    closesocket(ServerState.ListenSocket);
    return 1;
}
