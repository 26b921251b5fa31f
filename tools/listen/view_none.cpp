// A build without the full-screen view (it draws with ncurses): the
// Windows build and a Linux build made without ncurses. main refuses
// --view before connecting (ClientLacksMode), and these answer the same
// way should anything ask.
#include "tools/listen/stream.h"
#include "tools/listen/view.h"

bool ViewHasTerminal(std::string* why) {
    *why = "--view is not available in this build of dorqin-listen";
    return false;
}

int RunView(Reconnect*) { return ExitUsage; }
