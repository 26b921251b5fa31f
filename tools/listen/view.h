// dorqin-listen --view: the stream drawn full-screen with ncurses.
#pragma once

#include <string>

#include "tools/listen/client_platform.h"

// Whether standard output is a terminal the view can take over: a tty
// whose TERM has a terminfo entry. If not, *why says so in English.
bool ViewHasTerminal(std::string* why);

// Shows the stream from the connected socket fd until the user quits with
// q or Ctrl+C. Returns the exit status the plain mode would give for the
// same stream (0 for a stream still running when q is pressed), or
// ExitUsage when the terminal cannot be used. Ctrl+C restores the terminal
// and then ends the program by the signal, as it ends the plain mode.
int RunView(ClientSocket fd, const char* host, const char* port);

// --view --reconnect: as RunView, connecting to host and port again
// whenever a connection cannot be made or ends, until q or Ctrl+C; the
// view keeps the last values meanwhile and says that it reconnects.
// Returns 0 after q.
int RunViewReconnecting(const char* host, const char* port);
