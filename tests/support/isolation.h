// Gives the calling process a network namespace of its own with loopback
// up, so black-box runs own port 5003 whatever else runs on the machine.
// Needs root (CI runs as root); returns false and changes nothing where
// namespaces are unavailable or DORQIN_NO_NETNS is set (under Wine, whose
// server may hold the sockets, the relay must share the caller's network).
#pragma once

bool IsolateNetwork();

// Whether IsolateNetwork gave this process a namespace of its own, where a
// test may change the network (drop packets) without touching the host's.
bool NetworkIsolated();

// Whether this run asks for every prerequisite (DORQIN_REQUIRE_PREREQUISITES,
// which ./dev test sets): then a test that cannot run here, for want of
// root, say, fails instead of being skipped (see prerequisite.h).
bool PrerequisitesRequired();

// Adds "TEST: WHAT" to the list of skipped tests that CTest shows after a
// run (DORQIN_SKIPPED_LIST, set by the build's CTestCustom.cmake).
void ListSkipped(const char* test, const char* what);

// For a test program that CTest runs whole (TEST, its CTest name): says
// what is missing and returns the program's exit status, 77 (CTest's
// SKIP_RETURN_CODE) or, where prerequisites are required, 1.
int MissingPrerequisite(const char* test, const char* what);
