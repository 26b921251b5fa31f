#include "tools/serve/service_win32.h"

#include "platform/platform.h"

#include <sddl.h>

#include <cstdio>

#include "serve_messages.h"  // made by windmc from messages.mc

namespace {

constexpr char kEventSourceKey[] =
    "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\dorqin-serve";
constexpr char kFirewallRule[] = "dorqin-relay";
// The account the service runs as: the least the relay needs (a socket,
// the box, which any user may open, and the log folder made for it).
constexpr char kServiceAccount[] = "NT AUTHORITY\\LocalService";

HANDLE EventSource = nullptr;

void Report(WORD type, DWORD id, const char* text) {
    if (!EventSource) return;
    const char* inserts[1] = {text};
    ReportEventA(EventSource, type, 0, id, nullptr, 1, 0, inserts, nullptr);
}

// Runs netsh with the arguments given, waits for it, and returns its exit
// status (or -1 when it did not run).
long Netsh(const std::string& arguments) {
    char folder[MAX_PATH];
    const UINT n = GetSystemDirectoryA(folder, sizeof folder);
    if (n == 0 || n >= sizeof folder) return -1;
    std::string line = "\"" + std::string(folder) + "\\netsh.exe\" " + arguments;
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessA(nullptr, &line[0], nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr,
                        nullptr, &startup, &process)) {
        return -1;
    }
    CloseHandle(process.hThread);
    DWORD status = static_cast<DWORD>(-1);
    if (WaitForSingleObject(process.hProcess, 60000) == WAIT_OBJECT_0) {
        GetExitCodeProcess(process.hProcess, &status);
    } else {
        TerminateProcess(process.hProcess, 1);
    }
    CloseHandle(process.hProcess);
    return static_cast<long>(status);
}

std::string FirewallAddArguments(const InstallOptions& options) {
    return std::string("advfirewall firewall add rule name=") + kFirewallRule +
           " dir=in action=allow protocol=TCP localport=5003 program=\"" + options.relay +
           "\" remoteip=" + (options.allow.empty() ? "any" : options.allow);
}

// The log's folder: the service's account may write (and rename, for the
// rotation) there; administrators and the system may do anything, users
// may read.
bool MakeLogFolder(const std::string& folder) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(
            "D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FA;;;LS)(A;OICI;FR;;;BU)",
            SDDL_REVISION_1, &descriptor, nullptr)) {
        return false;
    }
    SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor, FALSE};
    bool made = CreateDirectoryA(folder.c_str(), &attributes) ||
                (GetLastError() == ERROR_ALREADY_EXISTS &&
                 SetFileSecurityA(folder.c_str(), DACL_SECURITY_INFORMATION, descriptor));
    LocalFree(descriptor);
    return made;
}

bool AddEventSource(const std::string& program) {
    HKEY key;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, kEventSourceKey, 0, nullptr, 0, KEY_SET_VALUE,
                        nullptr, &key, nullptr) != ERROR_SUCCESS) {
        return false;
    }
    const DWORD types = EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;
    bool ok = RegSetValueExA(key, "EventMessageFile", 0, REG_EXPAND_SZ,
                             reinterpret_cast<const BYTE*>(program.c_str()),
                             static_cast<DWORD>(program.size() + 1)) == ERROR_SUCCESS &&
              RegSetValueExA(key, "TypesSupported", 0, REG_DWORD,
                             reinterpret_cast<const BYTE*>(&types), sizeof types) == ERROR_SUCCESS;
    RegCloseKey(key);
    return ok;
}

std::string ThisProgram() {
    char self[MAX_PATH];
    const DWORD n = GetModuleFileNameA(nullptr, self, sizeof self);
    return std::string(self, n < sizeof self ? n : 0);
}

// Configures what the Service Control Manager does beyond starting it.
bool Configure(SC_HANDLE service) {
    char description[] =
        "Runs dorqin-relay.exe for one client after another, bridging the DORQIn Box to TCP "
        "port 5003.";
    SERVICE_DESCRIPTIONA about{description};
    // A backstop for a crash of the supervisor itself (which ends its
    // relay with it): started again after 5 s, 30 s, then every minute;
    // the count starts again after a day without one.
    SC_ACTION actions[3] = {
        {SC_ACTION_RESTART, 5000}, {SC_ACTION_RESTART, 30000}, {SC_ACTION_RESTART, 60000}};
    SERVICE_FAILURE_ACTIONSA failure{};
    failure.dwResetPeriod = 24 * 60 * 60;
    failure.cActions = 3;
    failure.lpsaActions = actions;
    return ChangeServiceConfig2A(service, SERVICE_CONFIG_DESCRIPTION, &about) &&
           ChangeServiceConfig2A(service, SERVICE_CONFIG_FAILURE_ACTIONS, &failure);
}

// Stops the service and waits until it has stopped, up to 30 s.
void StopAndWait(SC_HANDLE service) {
    SERVICE_STATUS status{};
    if (!ControlService(service, SERVICE_CONTROL_STOP, &status)) return;
    for (int waited = 0; waited < 30000; waited += 250) {
        if (!QueryServiceStatus(service, &status) || status.dwCurrentState == SERVICE_STOPPED) {
            return;
        }
        Sleep(250);
    }
}

}  // namespace

std::string ErrorText(unsigned long error) {
    char text[256];
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                             error, 0, text, sizeof text, nullptr);
    while (n > 0 && (text[n - 1] == '\n' || text[n - 1] == '\r' || text[n - 1] == ' ' ||
                     text[n - 1] == '.')) {
        --n;
    }
    if (n == 0) return "error " + std::to_string(error);
    return std::string(text, n) + " (error " + std::to_string(error) + ")";
}

int InstallService(const InstallOptions& options) {
    const std::string program = ThisProgram();
    const std::string command = "\"" + program + "\" service" + options.arguments;
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE);
    if (!manager) {
        fprintf(stderr, "dorqin-serve: cannot reach the Service Control Manager: %s%s\n",
                ErrorText(GetLastError()).c_str(),
                GetLastError() == ERROR_ACCESS_DENIED ? "; run this as an administrator" : "");
        return 1;
    }
    SC_HANDLE service = CreateServiceA(
        manager, kServiceName, "dorqin-serve (DORQIn Box relay)", SERVICE_ALL_ACCESS,
        SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, command.c_str(),
        nullptr, nullptr, nullptr, kServiceAccount, nullptr);
    bool again = false;
    if (!service && GetLastError() == ERROR_SERVICE_EXISTS) {
        // Installed before: the same service, started the new way.
        service = OpenServiceA(manager, kServiceName, SERVICE_ALL_ACCESS);
        again = service &&
                ChangeServiceConfigA(service, SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START,
                                     SERVICE_ERROR_NORMAL, command.c_str(), nullptr, nullptr,
                                     nullptr, kServiceAccount, "", nullptr);
        if (service && !again) {
            CloseServiceHandle(service);
            service = nullptr;
        }
    }
    if (!service) {
        fprintf(stderr, "dorqin-serve: cannot register the service: %s\n",
                ErrorText(GetLastError()).c_str());
        CloseServiceHandle(manager);
        return 1;
    }
    int status = 0;
    if (!Configure(service)) {
        fprintf(stderr, "dorqin-serve: cannot set the service's description and restarts: %s\n",
                ErrorText(GetLastError()).c_str());
        status = 1;
    }
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    printf("%s the service %s (automatic start, as %s): %s\n",
           again ? "updated" : "installed", kServiceName, kServiceAccount, command.c_str());

    if (!AddEventSource(program)) {
        fprintf(stderr, "dorqin-serve: cannot register with the Event Log: %s\n",
                ErrorText(GetLastError()).c_str());
        status = 1;
    }
    if (!MakeLogFolder(options.logFolder)) {
        fprintf(stderr, "dorqin-serve: cannot make the log folder %s writable for the service: %s\n",
                options.logFolder.c_str(), ErrorText(GetLastError()).c_str());
        status = 1;
    }
    // A service cannot show the firewall's prompt: the rule is made here,
    // for the relay's program and port, and replaces an older one.
    Netsh(std::string("advfirewall firewall delete rule name=") + kFirewallRule);
    const long firewall = Netsh(FirewallAddArguments(options));
    if (firewall == 0) {
        printf("firewall: inbound TCP 5003 to %s allowed from %s\n", options.relay.c_str(),
               options.allow.empty() ? "any address" : options.allow.c_str());
    } else {
        // A warning, not a failure: the service runs, and the rule can be
        // made by hand.
        fprintf(stderr,
                "dorqin-serve: warning: the firewall rule was not made (netsh: status %ld); make "
                "it in an administrator prompt:\n  netsh %s\n",
                firewall, FirewallAddArguments(options).c_str());
    }
    printf("start it now with: net start %s\n", kServiceName);
    return status;
}

int RemoveService() {
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE service =
        manager ? OpenServiceA(manager, kServiceName, DELETE | SERVICE_STOP | SERVICE_QUERY_STATUS)
                : nullptr;
    if (!service) {
        fprintf(stderr, "dorqin-serve: cannot open the service %s: %s\n", kServiceName,
                ErrorText(GetLastError()).c_str());
        if (manager) CloseServiceHandle(manager);
        return 1;
    }
    StopAndWait(service);
    int status = 0;
    if (DeleteService(service)) {
        printf("removed the service %s\n", kServiceName);
    } else {
        fprintf(stderr, "dorqin-serve: cannot remove the service: %s\n",
                ErrorText(GetLastError()).c_str());
        status = 1;
    }
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, kEventSourceKey);
    if (Netsh(std::string("advfirewall firewall delete rule name=") + kFirewallRule) == 0) {
        printf("removed the firewall rule %s\n", kFirewallRule);
    } else {
        fprintf(stderr, "dorqin-serve: the firewall rule %s was not removed (netsh failed); "
                        "remove it in an administrator prompt:\n  netsh advfirewall firewall "
                        "delete rule name=%s\n", kFirewallRule, kFirewallRule);
    }
    return status;
}

void EventLogOpen() { EventSource = RegisterEventSourceA(nullptr, kServiceName); }

void EventLogStarted(const char* text) { Report(EVENTLOG_INFORMATION_TYPE, MSG_STARTED, text); }

void EventLogStopped(const char* text, bool failed) {
    Report(failed ? EVENTLOG_ERROR_TYPE : EVENTLOG_INFORMATION_TYPE, MSG_STOPPED, text);
}

void EventLogFailure(const char* text) { Report(EVENTLOG_WARNING_TYPE, MSG_FAILURE, text); }
