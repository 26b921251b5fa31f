// dorqin-serve.exe as a Windows service: registering and unregistering it
// with the Service Control Manager, the Event Log and the firewall, and
// the Event Log's records of a running service.
#pragma once

#include <string>

constexpr char kServiceName[] = "dorqin-serve";

struct InstallOptions {
    std::string relay;       // full path of the relay the service runs
    std::string arguments;   // what the service is started with after "service"
    std::string logFolder;   // made writable for the service's account
    std::string allow;       // client addresses the firewall lets in ("any" when empty)
};

// Each prints what it did and what failed; returns the exit status.
int InstallService(const InstallOptions& options);
int RemoveService();

// The Event Log, for a running service only.
void EventLogOpen();
void EventLogStarted(const char* text);
void EventLogStopped(const char* text, bool failed);
void EventLogFailure(const char* text);

// The system's text for an error code, without its line end.
std::string ErrorText(unsigned long error);
