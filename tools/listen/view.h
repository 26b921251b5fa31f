// dorqin-listen --view: the stream drawn full-screen with ncurses.
#pragma once

#include <string>

#include "tools/listen/reconnect.h"

// Whether standard output is a terminal the view can take over: a tty
// whose TERM has a terminfo entry. If not, *why says so in English.
bool ViewHasTerminal(std::string* why);

// Shows the stream of link (connected already, or with --reconnect from
// one connection after another) until the user quits with q or Ctrl+C.
// Returns the exit status the plain mode would give for the same stream
// (0 for a stream still running when q is pressed, and always 0 with
// --reconnect), or ExitUsage when the terminal cannot be used. Ctrl+C
// restores the terminal and then ends the program by the signal, as it
// ends the plain mode. With --reconnect the view keeps the last values
// between connections and says that it reconnects.
int RunView(Reconnect* link);
