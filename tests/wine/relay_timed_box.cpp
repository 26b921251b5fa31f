// A relay whose box is a timer, for dorqin-serve.exe's tests under this
// host's Wine, which has no HID device to offer: the relay's own main
// flow, server and console code (dorqin_core), with three button events
// sent 100 ms apart after the greeting in place of the box's reports, then
// nothing, as from a box left alone. The relay with a box through Wine's
// HID stack is the test guest's (tests/vm).
#include "common/console.h"
#include "net/server.h"

namespace {

DWORD WINAPI PressThreeButtons(LPVOID) {
    for (int button = 1; button <= 3; ++button) {
        if (SendEvent(1, button, 1) != 1) return 0;
        Sleep(100);
    }
    for (;;) Sleep(INFINITE);
}

}  // namespace

int main() {
    if (StartServer() == -1) return -1;
    ConsolePrint("Initialiesierung Einlesen:\n\n");
    HANDLE presses = CreateThread(nullptr, 0, PressThreeButtons, nullptr, 0, nullptr);
    PauseForInput();
    if (presses) {
        TerminateThread(presses, 0);
        WaitForSingleObject(presses, INFINITE);
    }
    ConsolePrint("\nEingabe abgeschlossen.");
    shutdown(ServerState.ListenSocket, SD_RECEIVE);
    closesocket(ServerState.ListenSocket);
    return 1;
}
