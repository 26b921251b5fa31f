// A client of the relay's stream run as a user runs it (dorqin-listen, the
// Python example, the Windows build under Wine): standard output and
// standard error collected apart, and its exit status.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

struct ClientRun {
    pid_t Pid = -1;
    int Out = -1;
    int Err = -1;
    int In = -1;  // its standard input, when started withInput
    std::string Stdout;
    std::string Stderr;
    int Status = -1;  // exit status, or 128 + the signal that ended it
};

// A command line from the environment (DORQIN_LISTEN_COMMAND="wine
// /path/dorqin-listen.exe") as a command for StartClient, through the shell.
inline std::vector<std::string> ShellCommand(const std::string& line) {
    return {"/bin/sh", "-c", "exec " + line + " \"$@\"", "sh"};
}

// Starts command (its first word looked up in PATH) with the arguments;
// withInput gives it a pipe from run->In as standard input.
inline bool StartClient(ClientRun* run, const std::vector<std::string>& command,
                        const std::vector<std::string>& arguments, bool withInput = false) {
    int out[2], err[2], in[2] = {-1, -1};
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) return false;
    if (withInput && pipe2(in, O_CLOEXEC) != 0) return false;
    pid_t pid = fork();
    if (pid == 0) {
        if (withInput) dup2(in[0], 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        std::vector<char*> argv;
        for (const std::string& word : command) argv.push_back(const_cast<char*>(word.c_str()));
        for (const std::string& word : arguments) argv.push_back(const_cast<char*>(word.c_str()));
        argv.push_back(nullptr);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    close(out[1]);
    close(err[1]);
    if (withInput) {
        close(in[0]);
        run->In = in[1];
    }
    run->Pid = pid;
    run->Out = out[0];
    run->Err = err[0];
    return pid > 0;
}

// Collects output until stdout holds text (or, with text empty, until the
// program exits). Returns false on the time limit.
inline bool CollectClient(ClientRun* run, const std::string& text, int timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (true) {
        if (!text.empty() && run->Stdout.find(text) != std::string::npos) return true;
        if (run->Out < 0 && run->Err < 0) break;
        int left = int(std::chrono::duration_cast<std::chrono::milliseconds>(
                           deadline - std::chrono::steady_clock::now())
                           .count());
        if (left <= 0) return false;
        pollfd fds[2] = {{run->Out, POLLIN, 0}, {run->Err, POLLIN, 0}};
        if (poll(fds, 2, left) <= 0) continue;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP))) continue;
            char buffer[4096];
            ssize_t got = read(fds[i].fd, buffer, sizeof buffer);
            if (got <= 0) {
                close(fds[i].fd);
                (i == 0 ? run->Out : run->Err) = -1;
            } else {
                (i == 0 ? run->Stdout : run->Stderr).append(buffer, size_t(got));
            }
        }
    }
    if (!text.empty()) return run->Stdout.find(text) != std::string::npos;
    // Both pipes closed: the program is exiting.
    for (int waited = 0; waited < timeoutMs; waited += 10) {
        int status = 0;
        if (waitpid(run->Pid, &status, WNOHANG) == run->Pid) {
            run->Status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            run->Pid = -1;
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

// Kills the program if it still runs and closes what is left of its pipes.
inline void KillClient(ClientRun* run) {
    if (run->Pid > 0) {
        kill(run->Pid, SIGKILL);
        waitpid(run->Pid, nullptr, 0);
        run->Pid = -1;
    }
    if (run->Out >= 0) close(run->Out);
    if (run->Err >= 0) close(run->Err);
    if (run->In >= 0) close(run->In);
    run->Out = run->Err = run->In = -1;
}
