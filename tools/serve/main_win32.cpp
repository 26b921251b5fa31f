// dorqin-serve.exe: keeps the relay running unattended on Windows, as a
// service or in a console. Runs dorqin-relay.exe again and again, one
// client per run, and ends a run the way the user at its console would
// (by ending its input) once the run can serve no more. The Windows
// backend of the supervisor (supervisor.h): the relay in a job object that
// kills it when we go, with pipes for its input and output and no window;
// one wait over its output, its process, a stop and the window messages
// that bring device arrival and removal; the client connection from the
// TCP table.
#include "platform/platform.h"

#include <dbt.h>
#include <iphlpapi.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <string>
#include <utility>
#include <vector>

#include "net/stream.h"
#include "tools/serve/log_win32.h"
#include "tools/serve/service_win32.h"
#include "tools/serve/supervisor.h"

namespace {

const char UsageText[] =
    "usage: dorqin-serve.exe install [--relay PATH] [--echo] [--log PATH] [--log-size BYTES]\n"
    "                                [--allow ADDRESSES]\n"
    "       dorqin-serve.exe remove\n"
    "       dorqin-serve.exe run [--relay PATH] [--echo] [--log PATH] [--log-size BYTES]\n"
    "\n"
    "Runs dorqin-relay.exe again and again, each run serving one client, and\n"
    "ends a run as a user pressing Enter would when its client's connection\n"
    "is gone, its box is gone or it reported a failure. The relay's texts\n"
    "pass through; the event lines are counted, not printed.\n"
    "\n"
    "  install      register the Windows service dorqin-serve (automatic start,\n"
    "               restarted should it crash), its Event Log source and a\n"
    "               firewall rule for the relay's TCP port 5003; as an\n"
    "               administrator. Start it with: net start dorqin-serve\n"
    "  remove       stop and unregister the service, its Event Log source and\n"
    "               its firewall rule (the log stays)\n"
    "  run          the same loop in this console, without a service; Ctrl+C\n"
    "               ends the current run and dorqin-serve.exe\n"
    "\n"
    "  --relay PATH     the relay to run (default: dorqin-relay.exe beside this\n"
    "                   program)\n"
    "  --echo           pass the relay's event lines on too\n"
    "  --log PATH       the log file, each line behind its time (the service's\n"
    "                   default: %ProgramData%\\dorqin-relay\\dorqin-serve.log;\n"
    "                   run: none unless given)\n"
    "  --log-size BYTES start a new log file past this size (256 or more),\n"
    "                   keeping the two before it as PATH.1 and PATH.2\n"
    "                   (default 1048576)\n"
    "  --allow ADDRESSES  the client addresses the firewall rule lets in, as\n"
    "                   netsh's remoteip= takes them (192.168.1.20,10.0.0.0/24);\n"
    "                   default: any\n"
    "  --help           show this text\n"
    "  --version        show the version\n";

constexpr char kBoxInterface[] = "vid_046d&pid_c630";  // in a HID interface's path, any case
constexpr int kLooksMissing = 2;  // looks without the client's connection that make it gone

struct Options {
    std::string relay;
    bool echo = false;
    std::string log;
    unsigned long long logSize = kLogBytes;
    std::string allow;
};

// Where our console output goes, without the loop ever waiting for it (a
// console in which text is being selected stops its writers): a thread of
// its own writes, the loop only hands over what it may.
struct ConsoleSink {
    HANDLE handle = nullptr;
    HANDLE work = nullptr;  // set when buffer holds text to write
    HANDLE done = nullptr;  // set when the writer is free again
    volatile LONG busy = 0;
    volatile LONG gone = 0;
    std::string buffer;
};

// The relay of the current run.
struct Relay {
    HANDLE process = nullptr;
    DWORD pid = 0;
    bool reaped = false;
    HANDLE input = nullptr;   // our end of its standard input, never written
    HANDLE output = nullptr;  // our end of its output: a named pipe, read overlapped
    OVERLAPPED read{};
    bool readPending = false;
    char buffer[65536];
    bool clientFound = false;  // its client in the TCP table
    DWORD clientAddress = 0, clientPort = 0;
    std::vector<std::pair<DWORD, DWORD>> earlier;  // connections there before it started
    int missing = 0;  // looks in a row that did not find its client
    bool boxRemoved = false;
};

struct WindowsRecord {
    Options options;
    bool service = false;
    HANDLE stopEvent = nullptr;    // manual reset: taken, then reset, by the loop
    const char* volatile stopWhy = nullptr;
    HANDLE loopDone = nullptr;
    HANDLE job = nullptr;
    bool inJob = false;  // we are in it, and with us every relay from its start
    HWND devices = nullptr;
    bool console = false;
    bool saidNoOwners = false;
    int pipes = 0;
    Relay relay;
    SERVICE_STATUS_HANDLE statusHandle = nullptr;
    SERVICE_STATUS status{};
};

WindowsRecord State;
ConsoleSink OutSink, ErrSink;
Outlet Out, Err;

DWORD WINAPI ConsoleWriter(LPVOID parameter) {
    ConsoleSink* sink = static_cast<ConsoleSink*>(parameter);
    for (;;) {
        WaitForSingleObject(sink->work, INFINITE);
        DWORD written = 0;
        if (!WriteFile(sink->handle, sink->buffer.data(), static_cast<DWORD>(sink->buffer.size()),
                       &written, nullptr)) {
            InterlockedExchange(&sink->gone, 1);
        }
        InterlockedExchange(&sink->busy, 0);
        SetEvent(sink->done);
    }
}

long ConsoleWriteSome(Outlet* outlet, const char* data, size_t length) {
    ConsoleSink* sink = static_cast<ConsoleSink*>(outlet->sink);
    if (InterlockedCompareExchange(&sink->gone, 0, 0)) return -1;
    if (InterlockedCompareExchange(&sink->busy, 0, 0)) return 0;
    if (length > 65536) length = 65536;
    sink->buffer.assign(data, length);
    InterlockedExchange(&sink->busy, 1);
    SetEvent(sink->work);
    return static_cast<long>(length);
}

void OpenConsoleOutlet(Outlet* outlet, ConsoleSink* sink, DWORD which) {
    sink->handle = GetStdHandle(which);
    if (!sink->handle || sink->handle == INVALID_HANDLE_VALUE) return;
    sink->work = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    sink->done = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    HANDLE writer = CreateThread(nullptr, 0, ConsoleWriter, sink, 0, nullptr);
    if (!writer) return;
    CloseHandle(writer);
    outlet->writeSome = ConsoleWriteSome;
    outlet->sink = sink;
}

bool HasOutlet(const Outlet& outlet) { return outlet.writeSome != nullptr; }

void NoteEarlierConnections();

std::string RelayBesideUs() {
    char self[MAX_PATH];
    const DWORD n = GetModuleFileNameA(nullptr, self, sizeof self);
    std::string path(self, n < sizeof self ? n : 0);
    return path.substr(0, path.find_last_of("\\/") + 1) + "dorqin-relay.exe";
}

std::string FullPath(const std::string& path) {
    char full[MAX_PATH];
    const DWORD n = GetFullPathNameA(path.c_str(), sizeof full, full, nullptr);
    return n > 0 && n < sizeof full ? std::string(full, n) : path;
}

// ---- Device arrival and removal ----

bool IsBoxInterface(const wchar_t* path) {
    wchar_t lower[512];
    size_t i = 0;
    for (; path[i] && i + 1 < sizeof lower / sizeof lower[0]; ++i) lower[i] = towlower(path[i]);
    lower[i] = L'\0';
    wchar_t wanted[sizeof kBoxInterface];
    for (i = 0; i < sizeof kBoxInterface; ++i) wanted[i] = static_cast<wchar_t>(kBoxInterface[i]);
    return wcsstr(lower, wanted) != nullptr;
}

LRESULT CALLBACK DeviceWindow(HWND window, UINT message, WPARAM what, LPARAM about) {
    if (message == WM_DEVICECHANGE &&
        (what == DBT_DEVICEARRIVAL || what == DBT_DEVICEREMOVECOMPLETE) && about) {
        const DEV_BROADCAST_HDR* header = reinterpret_cast<const DEV_BROADCAST_HDR*>(about);
        if (header->dbch_devicetype == DBT_DEVTYP_DEVICEINTERFACE &&
            IsBoxInterface(reinterpret_cast<const DEV_BROADCAST_DEVICEINTERFACE_W*>(header)
                               ->dbcc_name)) {
            if (what == DBT_DEVICEARRIVAL) {
                ServeBoxArrived();
            } else {
                State.relay.boxRemoved = true;
            }
        }
        return TRUE;
    }
    return DefWindowProcW(window, message, what, about);
}

// A message-only window that the system tells of every HID interface
// that comes or goes.
bool WatchDevices() {
    WNDCLASSW kind{};
    kind.lpfnWndProc = DeviceWindow;
    kind.hInstance = GetModuleHandleW(nullptr);
    kind.lpszClassName = L"dorqin-serve-devices";
    if (!RegisterClassW(&kind)) return false;
    State.devices = CreateWindowExW(0, kind.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE,
                                    nullptr, kind.hInstance, nullptr);
    if (!State.devices) return false;
    DEV_BROADCAST_DEVICEINTERFACE_W filter{};
    filter.dbcc_size = sizeof filter;
    filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    HidD_GetHidGuid(&filter.dbcc_classguid);
    return RegisterDeviceNotificationW(State.devices, &filter, DEVICE_NOTIFY_WINDOW_HANDLE) !=
           nullptr;
}

void PumpMessages() {
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
}

// ---- The relay's output ----

void EndOutput() {
    Relay& relay = State.relay;
    if (!relay.output) return;
    if (relay.readPending) {
        CancelIo(relay.output);
        DWORD ignored;
        GetOverlappedResult(relay.output, &relay.read, &ignored, TRUE);
        relay.readPending = false;
    }
    CloseHandle(relay.output);
    relay.output = nullptr;
    ServeOutputEnded();
}

// What a finished read brought: text, or the end (every writer is gone).
void TakeRead(BOOL ok, DWORD got) {
    if (ok && got > 0) {
        ServeTakeOutput(State.relay.buffer, got);
    } else if (!ok && GetLastError() != ERROR_MORE_DATA) {
        EndOutput();
    }
}

// One read of the relay's output: taken at once where there was text
// already, else left to complete while we wait.
void StartRead() {
    Relay& relay = State.relay;
    ResetEvent(relay.read.hEvent);
    DWORD got = 0;
    if (ReadFile(relay.output, relay.buffer, sizeof relay.buffer, &got, &relay.read)) {
        TakeRead(TRUE, got);
    } else if (GetLastError() == ERROR_IO_PENDING) {
        relay.readPending = true;
    } else {
        EndOutput();
    }
}

void CheckRead() {
    Relay& relay = State.relay;
    DWORD got = 0;
    const BOOL ok = GetOverlappedResult(relay.output, &relay.read, &got, FALSE);
    if (!ok && GetLastError() == ERROR_IO_INCOMPLETE) return;
    relay.readPending = false;
    TakeRead(ok, got);
}

// The relay's output: a named pipe, so that it can be read overlapped
// (an anonymous one cannot), of which the relay gets the client end.
bool MakeOutputPipe(HANDLE* server, HANDLE* client) {
    char name[96];
    snprintf(name, sizeof name, "\\\\.\\pipe\\dorqin-serve-%lu-%d", GetCurrentProcessId(),
             ++State.pipes);
    *server = CreateNamedPipeA(name, PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED |
                                         FILE_FLAG_FIRST_PIPE_INSTANCE,
                               PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT |
                                   PIPE_REJECT_REMOTE_CLIENTS,
                               1, 0, kPipeBytes, 0, nullptr);
    if (*server == INVALID_HANDLE_VALUE) return false;
    SECURITY_ATTRIBUTES inherited{sizeof inherited, nullptr, TRUE};
    *client = CreateFileA(name, GENERIC_WRITE, 0, &inherited, OPEN_EXISTING, 0, nullptr);
    if (*client == INVALID_HANDLE_VALUE) {
        CloseHandle(*server);
        return false;
    }
    return true;
}

void CloseIfOpen(HANDLE* handle) {
    if (*handle && *handle != INVALID_HANDLE_VALUE) CloseHandle(*handle);
    *handle = nullptr;
}

BOOL WINAPI ConsoleControl(DWORD event) {
    switch (event) {
    case CTRL_C_EVENT: State.stopWhy = "Ctrl+C"; break;
    case CTRL_BREAK_EVENT: State.stopWhy = "Ctrl+Break"; break;
    default: State.stopWhy = "the console was closed"; break;
    }
    SetEvent(State.stopEvent);
    // For a closing console the process ends once this returns: the run
    // is ended first.
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) {
        WaitForSingleObject(State.loopDone, 4500);
    }
    return TRUE;
}

void SetServiceState(DWORD state, DWORD waitHint, int exitStatus) {
    SERVICE_STATUS& status = State.status;
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    status.dwControlsAccepted =
        state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN : 0;
    status.dwWin32ExitCode = exitStatus == 0 ? NO_ERROR : ERROR_SERVICE_SPECIFIC_ERROR;
    status.dwServiceSpecificExitCode = static_cast<DWORD>(exitStatus);
    status.dwWaitHint = waitHint;
    status.dwCheckPoint = state == SERVICE_RUNNING || state == SERVICE_STOPPED
                              ? 0
                              : status.dwCheckPoint + 1;
    SetServiceStatus(State.statusHandle, &status);
}

DWORD WINAPI ServiceControl(DWORD control, DWORD, LPVOID, LPVOID) {
    switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
        State.stopWhy = control == SERVICE_CONTROL_STOP ? "service stop" : "system shutdown";
        // The run ends within a second as Enter would; the rest is the
        // relay's stop grace.
        SetServiceState(SERVICE_STOP_PENDING, 10000, 0);
        SetEvent(State.stopEvent);
        return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE:
        return NO_ERROR;
    default:
        return ERROR_CALL_NOT_IMPLEMENTED;
    }
}

// The loop, in a console or in the service, with what it needs around it.
int Supervise() {
    Options& options = State.options;
    if (options.relay.empty()) options.relay = RelayBesideUs();
    ServeSetEcho(options.echo);
    State.stopEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    State.loopDone = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    State.relay.read.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!State.service) {
        OpenConsoleOutlet(&Out, &OutSink, STD_OUTPUT_HANDLE);
        OpenConsoleOutlet(&Err, &ErrSink, STD_ERROR_HANDLE);
        SetConsoleCtrlHandler(ConsoleControl, TRUE);
    }
    if (State.service && options.log.empty()) options.log = DefaultLogPath();
    unsigned long error = 0;
    if (!options.log.empty() && !LogOpen(options.log, options.logSize, &error)) {
        NoteFailure("cannot open the log %s: %s", options.log.c_str(), ErrorText(error).c_str());
    }
    // Kills the relay when the last handle to it closes: when we end,
    // however we end. We are in it ourselves, so that a relay is in it
    // from its creation on: one put in after it was made would be left,
    // suspended for ever, by a kill in between.
    State.job = CreateJobObjectA(nullptr, nullptr);
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (!State.job || !SetInformationJobObject(State.job, JobObjectExtendedLimitInformation,
                                               &limits, sizeof limits)) {
        NoteFailure("cannot make a job object: %s; a relay may outlive dorqin-serve.exe if it is "
                    "killed", ErrorText(GetLastError()).c_str());
        CloseIfOpen(&State.job);
    } else {
        State.inJob = AssignProcessToJobObject(State.job, GetCurrentProcess()) != 0;
    }
    if (!WatchDevices()) {
        NoteFailure("cannot watch for HID devices: %s; a box unplugged does not end a run, and "
                    "runs after one that found no box keep their pauses",
                    ErrorText(GetLastError()).c_str());
    }
    if (State.service) {
        SetServiceState(SERVICE_RUNNING, 0, 0);
        const std::string started = "relay " + options.relay + ", log " + options.log;
        EventLogStarted(started.c_str());
    }
    const int status = ServeLoop();
    // The last notes get a moment to go out, no more: handed to its writer
    // is not yet written.
    const ULONGLONG giveUpAt = GetTickCount64() + 1000;
    while (HasOutlet(Out) && HasOutlet(Err) && GetTickCount64() < giveUpAt &&
           (!(OutletFlush(&Out) & OutletFlush(&Err)) || OutSink.busy || ErrSink.busy)) {
        HANDLE done[2] = {OutSink.done, ErrSink.done};
        WaitForMultipleObjects(2, done, FALSE, 100);
    }
    SetEvent(State.loopDone);
    return status;
}

void WINAPI ServiceMain(DWORD, LPSTR*) {
    State.statusHandle = RegisterServiceCtrlHandlerExA(kServiceName, ServiceControl, nullptr);
    if (!State.statusHandle) return;
    EventLogOpen();
    SetServiceState(SERVICE_START_PENDING, 5000, 0);
    const int status = Supervise();
    EventLogStopped(status == 0 ? "as asked" : "the relay cannot be run; see the log",
                    status != 0);
    SetServiceState(SERVICE_STOPPED, 0, status);
}

// The options after the command; false on one it does not know.
bool ParseOptions(int argc, char* argv[], int first, bool install, Options* options) {
    for (int i = first; i < argc; ++i) {
        const char* arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (strcmp(arg, "--echo") == 0) {
            options->echo = true;
        } else if (strcmp(arg, "--relay") == 0 && hasValue) {
            options->relay = FullPath(argv[++i]);
        } else if (strcmp(arg, "--log") == 0 && hasValue) {
            options->log = FullPath(argv[++i]);
        } else if (strcmp(arg, "--log-size") == 0 && hasValue) {
            char* end = nullptr;
            options->logSize = strtoull(argv[++i], &end, 10);
            if (*end != '\0' || options->logSize < 256) {
                fprintf(stderr, "dorqin-serve: --log-size takes a size of 256 bytes or more\n");
                return false;
            }
        } else if (install && strcmp(arg, "--allow") == 0 && hasValue) {
            options->allow = argv[++i];
            // It goes into netsh's command line as it is.
            if (options->allow.find_first_not_of("0123456789abcdefABCDEF.:/,-") !=
                std::string::npos) {
                fprintf(stderr, "dorqin-serve: --allow takes addresses, ranges and subnets "
                                "separated by commas\n");
                return false;
            }
        } else {
            fprintf(stderr, "dorqin-serve: unknown argument %s\n%s", arg, UsageText);
            return false;
        }
    }
    return true;
}

int Install(const Options& options) {
    InstallOptions install;
    install.relay = options.relay.empty() ? RelayBesideUs() : options.relay;
    if (GetFileAttributesA(install.relay.c_str()) == INVALID_FILE_ATTRIBUTES) {
        fprintf(stderr, "dorqin-serve: there is no relay at %s (--relay PATH names it)\n",
                install.relay.c_str());
        return 1;
    }
    const std::string log = options.log.empty() ? DefaultLogPath() : options.log;
    install.logFolder = log.substr(0, log.find_last_of('\\'));
    install.allow = options.allow;
    install.arguments = " --relay \"" + install.relay + "\" --log \"" + log + "\"";
    if (options.logSize != kLogBytes) {
        install.arguments += " --log-size " + std::to_string(options.logSize);
    }
    if (options.echo) install.arguments += " --echo";
    return InstallService(install);
}

}  // namespace

long long BackendNowMs() { return static_cast<long long>(GetTickCount64()); }

StartResult BackendStartRelay() {
    Relay& relay = State.relay;
    HANDLE event = relay.read.hEvent;
    relay = Relay();
    relay.read.hEvent = event;
    NoteEarlierConnections();
    HANDLE inputRead = nullptr, inputWrite = nullptr, outputServer = nullptr,
           outputClient = nullptr;
    SECURITY_ATTRIBUTES inherited{sizeof inherited, nullptr, TRUE};
    if (!CreatePipe(&inputRead, &inputWrite, &inherited, 0) ||
        !SetHandleInformation(inputWrite, HANDLE_FLAG_INHERIT, 0) ||
        !MakeOutputPipe(&outputServer, &outputClient)) {
        Note("cannot make a pipe: %s", ErrorText(GetLastError()).c_str());
        CloseIfOpen(&inputRead);
        CloseIfOpen(&inputWrite);
        return kNotNow;
    }
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = inputRead;
    startup.hStdOutput = outputClient;
    startup.hStdError = outputClient;
    PROCESS_INFORMATION process{};
    std::string line = "\"" + State.options.relay + "\"";
    // In our job from the start; where we could not join it, suspended
    // until it is in: not one instruction outside it.
    const BOOL started = CreateProcessA(State.options.relay.c_str(), &line[0], nullptr, nullptr,
                                        TRUE, CREATE_NO_WINDOW | (State.inJob ? 0 : CREATE_SUSPENDED),
                                        nullptr, nullptr, &startup, &process);
    const DWORD error = GetLastError();
    CloseHandle(inputRead);
    CloseHandle(outputClient);
    if (!started) {
        CloseHandle(inputWrite);
        CloseHandle(outputServer);
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ||
            error == ERROR_BAD_EXE_FORMAT || error == ERROR_ACCESS_DENIED) {
            NoteFailure("cannot run %s: %s", State.options.relay.c_str(), ErrorText(error).c_str());
            return kCannotRun;
        }
        Note("cannot start the relay: %s", ErrorText(error).c_str());
        return kNotNow;
    }
    if (State.job && !State.inJob && !AssignProcessToJobObject(State.job, process.hProcess)) {
        Note("cannot put the relay in the job object: %s; it may outlive dorqin-serve.exe if "
             "that is killed", ErrorText(GetLastError()).c_str());
    }
    if (!State.inJob) ResumeThread(process.hThread);
    CloseHandle(process.hThread);
    relay.process = process.hProcess;
    relay.pid = process.dwProcessId;
    relay.input = inputWrite;
    relay.output = outputServer;
    return kStarted;
}

void BackendEndInput() { CloseIfOpen(&State.relay.input); }

void BackendEndWaitingRelay() {
    if (State.relay.process && !State.relay.reaped) TerminateProcess(State.relay.process, 1);
}

void BackendKillRelay() { BackendEndWaitingRelay(); }

void BackendReleaseRun() {
    BackendEndInput();
    if (State.relay.output) {
        EndOutput();
    }
    CloseIfOpen(&State.relay.process);
}

int BackendWait(int timeoutMs, bool readOutput) {
    Relay& relay = State.relay;
    if (readOutput && relay.output && !relay.readPending) {
        StartRead();
        if (!relay.readPending) return 0;  // taken at once: the loop looks again
    }
    HANDLE handles[5];
    DWORD count = 0;
    handles[count++] = State.stopEvent;
    if (relay.process && !relay.reaped) handles[count++] = relay.process;
    if (readOutput && relay.readPending) handles[count++] = relay.read.hEvent;
    if (HasOutlet(Out) && !Out.pending.empty()) handles[count++] = OutSink.done;
    if (HasOutlet(Err) && !Err.pending.empty()) handles[count++] = ErrSink.done;
    const DWORD waited = MsgWaitForMultipleObjects(
        count, handles, FALSE, timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs),
        QS_ALLINPUT);
    if (waited == WAIT_FAILED) {
        Note("cannot wait: %s", ErrorText(GetLastError()).c_str());
        return -1;
    }
    PumpMessages();
    if (HasOutlet(Out) && !Out.pending.empty()) OutletFlush(&Out);
    if (HasOutlet(Err) && !Err.pending.empty()) OutletFlush(&Err);
    if (WaitForSingleObject(State.stopEvent, 0) == WAIT_OBJECT_0) {
        ResetEvent(State.stopEvent);
        ServeStop(State.stopWhy ? State.stopWhy : "stop");
    }
    if (readOutput && relay.readPending) CheckRead();
    if (relay.process && !relay.reaped && WaitForSingleObject(relay.process, 0) == WAIT_OBJECT_0) {
        relay.reaped = true;
        DWORD code = 0;
        GetExitCodeProcess(relay.process, &code);
        char how[96];
        snprintf(how, sizeof how, "the relay ended with status %ld", static_cast<long>(code));
        ServeRelayEnded(how);
    }
    return 0;
}

namespace {

// The TCP table, IPv4, with owning processes where the system names them;
// nullptr when it cannot be had.
const MIB_TCPTABLE_OWNER_PID* TcpTable() {
    static std::string table(16384, '\0');
    DWORD result = ERROR_INSUFFICIENT_BUFFER;
    for (int tries = 0; tries < 4 && result == ERROR_INSUFFICIENT_BUFFER; ++tries) {
        DWORD size = static_cast<DWORD>(table.size());
        result = GetExtendedTcpTable(&table[0], &size, FALSE, AF_INET, TCP_TABLE_OWNER_PID_ALL, 0);
        if (result == ERROR_INSUFFICIENT_BUFFER) table.resize(size + 4096);
    }
    return result == NO_ERROR ? reinterpret_cast<const MIB_TCPTABLE_OWNER_PID*>(&table[0])
                              : nullptr;
}

// A connection to the relay's port that is, or may be, a relay's client.
bool ToTheRelay(const MIB_TCPROW_OWNER_PID& row) {
    return ntohs(static_cast<u_short>(row.dwLocalPort)) == RelayPort &&
           (row.dwState == MIB_TCP_STATE_ESTAB || row.dwState == MIB_TCP_STATE_CLOSE_WAIT);
}

bool Earlier(const Relay& relay, const MIB_TCPROW_OWNER_PID& row) {
    for (const auto& [address, port] : relay.earlier) {
        if (row.dwRemoteAddr == address && row.dwRemotePort == port) return true;
    }
    return false;
}

}  // namespace

namespace {

// The connections to the relay's port before this run's relay listens:
// none of them can be its client. Under Wine a connection left in the
// queue of a relay that ended is not always reset; it stays open, owned
// by no program, until its client gives up.
void NoteEarlierConnections() {
    Relay& relay = State.relay;
    relay.earlier.clear();
    const MIB_TCPTABLE_OWNER_PID* rows = TcpTable();
    for (DWORD i = 0; rows && i < rows->dwNumEntries; ++i) {
        if (ToTheRelay(rows->table[i])) {
            relay.earlier.emplace_back(rows->table[i].dwRemoteAddr, rows->table[i].dwRemotePort);
        }
    }
}

}  // namespace

// The relay's client: the connection on its local port in state
// ESTABLISHED or CLOSE_WAIT, owned by the relay where the table names
// owners (Wine names none), not there before the relay started, and from
// the first look on the one with the same remote address and port.
ClientLink BackendClientLink() {
    Relay& relay = State.relay;
    // A relay that is ending closes its connection before its process is
    // seen to end (Wine), and what it printed last may still wait in the
    // pipe: that text says why the run ends, so it is read first.
    DWORD unread = 0;
    if (relay.reaped || WaitForSingleObject(relay.process, 0) != WAIT_TIMEOUT ||
        (relay.output && PeekNamedPipe(relay.output, nullptr, 0, nullptr, &unread, nullptr) &&
         unread > 0)) {
        return ClientLink::kUnknown;
    }
    const MIB_TCPTABLE_OWNER_PID* rows = TcpTable();
    if (!rows) return ClientLink::kUnknown;
    for (DWORD i = 0; i < rows->dwNumEntries; ++i) {
        const MIB_TCPROW_OWNER_PID& row = rows->table[i];
        if (!ToTheRelay(row) || (row.dwOwningPid != 0 && row.dwOwningPid != relay.pid)) continue;
        if (relay.clientFound ? row.dwRemoteAddr != relay.clientAddress ||
                                    row.dwRemotePort != relay.clientPort
                              : Earlier(relay, row)) {
            continue;
        }
        if (!relay.clientFound && row.dwOwningPid == 0 && !State.saidNoOwners) {
            State.saidNoOwners = true;
            Note("the TCP table names no owning processes; the relay's client is the connection "
                 "on port %d found first", RelayPort);
        }
        relay.clientFound = true;
        relay.clientAddress = row.dwRemoteAddr;
        relay.clientPort = row.dwRemotePort;
        relay.missing = 0;
        return row.dwState == MIB_TCP_STATE_ESTAB ? ClientLink::kEstablished
                                                  : ClientLink::kHalfClosed;
    }
    // Wine's table now and then lacks a connection that is there (seen with
    // one just accepted, while older ones on the port were listed): gone is
    // two looks without it, a second apart.
    return ++relay.missing >= kLooksMissing ? ClientLink::kGone : ClientLink::kUnknown;
}

bool BackendBoxGone() { return State.relay.boxRemoved; }

void BackendAfterNoBox() {}

void BackendWriteOut(const char* text, size_t length) {
    if (HasOutlet(Out)) OutletWrite(&Out, text, length);
    LogWriteOut(text, length);
}

void BackendWriteNote(const char* line, size_t length) {
    if (HasOutlet(Err)) OutletWrite(&Err, line, length);
    LogWriteNote(line, length);
}

void BackendReportFailure(const char* text) {
    if (State.service) EventLogFailure(text);
}

int main(int argc, char* argv[]) {
    const char* command = argc > 1 ? argv[1] : "";
    if (strcmp(command, "--help") == 0 || strcmp(command, "-h") == 0 ||
        strcmp(command, "/?") == 0) {
        fputs(UsageText, stdout);
        return ExitClean;
    }
    if (strcmp(command, "--version") == 0) {
        puts("dorqin-serve " DORQIN_VERSION);
        return ExitClean;
    }
    Options& options = State.options;
    const bool install = strcmp(command, "install") == 0;
    if (strcmp(command, "remove") == 0 && argc == 2) return RemoveService();
    if (!install && strcmp(command, "run") != 0 && strcmp(command, "service") != 0) {
        fprintf(stderr, "dorqin-serve: %s%s\n%s", *command ? "unknown command " : "a command, please",
                command, UsageText);
        return ExitUsage;
    }
    if (!ParseOptions(argc, argv, 2, install, &options)) return ExitUsage;
    if (install) return Install(options);
    if (strcmp(command, "run") == 0) return Supervise();

    State.service = true;
    char name[sizeof kServiceName];
    memcpy(name, kServiceName, sizeof name);
    SERVICE_TABLE_ENTRYA services[] = {{name, ServiceMain}, {nullptr, nullptr}};
    if (!StartServiceCtrlDispatcherA(services)) {
        fprintf(stderr, "dorqin-serve: %s; \"service\" is the Service Control Manager's command "
                        "(net start dorqin-serve); in a console, use run\n",
                ErrorText(GetLastError()).c_str());
        return ExitUsage;
    }
    return ExitClean;
}
