// Swaps the process's standard input and output for pipes during a unit
// test, so that console text can be checked and pauses can be fed.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <string>

class CapturedStdout {
public:
    CapturedStdout() {
        saved_ = dup(1);
        if (pipe2(pipe_, O_CLOEXEC) == 0) dup2(pipe_[1], 1);
    }
    ~CapturedStdout() { Restore(); }

    // Everything written to standard output so far.
    std::string Text() {
        pollfd p{pipe_[0], POLLIN, 0};
        char buffer[4096];
        while (poll(&p, 1, 0) > 0) {
            ssize_t n = read(pipe_[0], buffer, sizeof buffer);
            if (n <= 0) break;
            text_.append(buffer, static_cast<size_t>(n));
        }
        return text_;
    }

    void Restore() {
        if (saved_ < 0) return;
        Text();
        dup2(saved_, 1);
        close(saved_);
        close(pipe_[0]);
        close(pipe_[1]);
        saved_ = -1;
    }

private:
    int saved_ = -1;
    int pipe_[2] = {-1, -1};
    std::string text_;
};

class FedStdin {
public:
    // Standard input reads text, then the end of input.
    explicit FedStdin(const std::string& text) {
        saved_ = dup(0);
        int p[2];
        if (pipe2(p, O_CLOEXEC) != 0) return;
        if (write(p[1], text.data(), text.size()) != static_cast<ssize_t>(text.size())) return;
        close(p[1]);
        dup2(p[0], 0);
        close(p[0]);
    }
    ~FedStdin() {
        dup2(saved_, 0);
        close(saved_);
    }

    // What is left unread on standard input.
    static std::string Rest() {
        std::string rest;
        char buffer[256];
        ssize_t n;
        while ((n = read(0, buffer, sizeof buffer)) > 0) rest.append(buffer, static_cast<size_t>(n));
        return rest;
    }

private:
    int saved_ = -1;
};
