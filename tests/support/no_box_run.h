// A whole run in which the relay greets its client and finds no box.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "support/relay_process.h"

inline constexpr char kNoBoxConsole[] =
    "Verbindung erhalten von: 127.0.0.1\n"
    "Initialiesierung Einlesen:\n\n"
    "Die DORQIn Box konnte nicht initialisiert werden\n\n"
    "\nEingabe abgeschlossen.";

// Starts the relay, connects, and checks the run to its end: the greeting
// and nothing after it, the console text, status 1. The relay is left
// reaped for the caller's StopRelay.
inline void ExpectNoBoxRun(RelayProcess* relay, const std::string& what = "") {
    ASSERT_TRUE(StartRelay(relay)) << what;
    int client = ConnectToRelay(Scaled(10000));
    ASSERT_GE(client, 0) << what;
    std::string stream;
    EXPECT_TRUE(ReadToEnd(client, &stream, Scaled(10000))) << what;
    close(client);
    EXPECT_EQ(stream, ExpectedGreeting()) << what;
    ASSERT_TRUE(WaitForExit(relay, Scaled(10000))) << what;
    EXPECT_EQ(relay->console, kNoBoxConsole) << what;
    EXPECT_EQ(relay->status, 1) << what;
}
