// Drives wine_side.exe under wine64: one child for the whole run, fed
// case after case through a pipe, restarted if Wine's parser takes it down.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "hiddiff/sides.h"

namespace {

constexpr int kStartTimeoutMs = 20000;  // wine64's first start makes its server
constexpr int kReplyTimeoutMs = 3000;   // a batch takes milliseconds

bool ParseHexWords(const std::string& line, size_t from, std::vector<uint32_t>* out) {
    out->clear();
    const char* p = line.c_str() + from;
    for (;;) {
        while (*p == ' ') ++p;
        if (!*p) return true;
        char* end;
        const unsigned long v = strtoul(p, &end, 16);
        if (end == p) return false;
        out->push_back(static_cast<uint32_t>(v));
        p = end;
        if (*p == ':') ++p;
    }
}

}  // namespace

WineSide::WineSide(const std::string& exe, const std::string& prefix) : exe_(exe), prefix_(prefix) {
    signal(SIGPIPE, SIG_IGN);
    // Wine takes only an absolute WINEPREFIX.
    if (char* absolute = realpath(prefix.c_str(), nullptr)) {
        prefix_ = absolute;
        free(absolute);
    }
    ok_ = Start();
}

WineSide::~WineSide() { Stop(); }

bool WineSide::Start() {
    int in[2], out[2];
    if (pipe(in) != 0 || pipe(out) != 0) {
        error_ = "pipe failed";
        return false;
    }
    pid_ = fork();
    if (pid_ == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        const int null = open("/dev/null", O_WRONLY);
        if (null >= 0) dup2(null, 2);
        close(in[1]);
        close(out[0]);
        setenv("WINEPREFIX", prefix_.c_str(), 1);
        setenv("WINEDEBUG", "-all", 1);
        setenv("WINEDLLOVERRIDES", "mscoree,mshtml=", 1);
        // Debian keeps the loader off PATH; the wine64 package puts it here.
        const char* loader = getenv("DORQIN_WINE64");
        if (!loader) loader = "/usr/lib/wine/wine64";
        execl(loader, "wine64", exe_.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    toChild_ = in[1];
    fromChild_ = out[0];
    pending_.clear();
    std::string line;
    starting_ = true;
    const bool ready = ReadLine(&line) && line == "ready";
    starting_ = false;
    if (!ready) {
        error_ = "wine64 " + exe_ + " did not start: " + (line.empty() ? "no answer" : line);
        Stop();
        return false;
    }
    return true;
}

void WineSide::Stop() {
    if (toChild_ >= 0) close(toChild_);
    if (fromChild_ >= 0) close(fromChild_);
    toChild_ = fromChild_ = -1;
    if (pid_ > 0) {
        int status;
        // Closing stdin ends the loop; a hung child is killed.
        for (int i = 0; i < 50 && waitpid(pid_, &status, WNOHANG) == 0; ++i) usleep(20000);
        if (waitpid(pid_, &status, WNOHANG) == 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, &status, 0);
        }
    }
    pid_ = -1;
}

bool WineSide::ReadLine(std::string* line) {
    line->clear();
    for (;;) {
        const size_t nl = pending_.find('\n');
        if (nl != std::string::npos) {
            *line = pending_.substr(0, nl);
            if (!line->empty() && line->back() == '\r') line->pop_back();
            pending_.erase(0, nl + 1);
            return true;
        }
        pollfd p{fromChild_, POLLIN, 0};
        if (poll(&p, 1, starting_ ? kStartTimeoutMs : kReplyTimeoutMs) <= 0) return false;
        char buffer[65536];
        const ssize_t n = read(fromChild_, buffer, sizeof buffer);
        if (n <= 0) return false;
        pending_.append(buffer, static_cast<size_t>(n));
    }
}

// Writes the request while taking in whatever the child answers
// meanwhile, so that neither side can block the other on a full pipe.
bool WineSide::Exchange(const std::string& request) {
    size_t done = 0;
    while (done < request.size()) {
        pollfd p[2] = {{toChild_, POLLOUT, 0}, {fromChild_, POLLIN, 0}};
        if (poll(p, 2, kReplyTimeoutMs) <= 0) return false;
        if (p[1].revents & (POLLIN | POLLHUP)) {
            char buffer[65536];
            const ssize_t n = read(fromChild_, buffer, sizeof buffer);
            if (n <= 0) return false;
            pending_.append(buffer, static_cast<size_t>(n));
        }
        if (p[0].revents & (POLLERR | POLLHUP)) return false;
        if (p[0].revents & POLLOUT) {
            const ssize_t n = write(toChild_, request.data() + done, std::min<size_t>(request.size() - done, 4096));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false;
            done += static_cast<size_t>(n);
        }
    }
    return true;
}

namespace {

std::string Request(const CaseInput& input) {
    std::string query = "Q";
    char word[32];
    for (const UsageQuery& q : input.queries) {
        snprintf(word, sizeof word, " %x %x %x", q.page, q.usage, q.link);
        query += word;
    }
    query += "\n";
    std::string request;
    for (size_t c = 0; c < input.descriptors.size(); ++c) {
        request += "D " + ToHex(input.descriptors[c]) + "\n" + query;
        for (size_t i = 0; i < input.reports.size(); ++i) {
            if (input.reportCollection[i] == static_cast<int>(c)) request += "V 0 " + ToHex(input.reports[i]) + "\n";
        }
        request += "E\n";
    }
    return request;
}

}  // namespace

// Reads the answers to one case's request; false when they are not all there.
bool WineSide::ReadCase(const CaseInput& input, SideResult* out) {
    *out = SideResult{};
    out->answers.resize(input.reports.size());
    bool anyParsed = false, refused = false;
    for (size_t c = 0; c < input.descriptors.size(); ++c) {
        std::string line;
        std::vector<uint32_t> words;
        if (!ReadLine(&line) || line.size() < 3 || line[0] != 'P' || !ParseHexWords(line, 2, &words) ||
            words.size() != 2) {
            return false;
        }
        const uint32_t count = words[1];
        CollectionResult first{};
        for (uint32_t k = 0; k < count; ++k) {
            if (!ReadLine(&line) || line[0] != 'C' || !ParseHexWords(line, 2, &words) ||
                words.size() != kCapsFields + 1) {
                return false;
            }
            if (k == 0) {
                first.capsStatus = words[0];
                for (int f = 0; f < kCapsFields; ++f) first.caps[f] = static_cast<uint16_t>(words[f + 1]);
            }
        }
        if (count == 0 && !refused) {
            refused = true;
            out->parseStatus = words[0];
        }
        for (size_t i = 0; i < input.reports.size(); ++i) {
            if (input.reportCollection[i] != static_cast<int>(c)) continue;
            if (!ReadLine(&line) || line.empty() || line[0] != 'v' || !ParseHexWords(line, 1, &words)) return false;
            std::vector<Answer>& answers = out->answers[i];
            for (size_t w = 0; w + 1 < words.size(); w += 2) answers.push_back(Answer{words[w], words[w + 1]});
        }
        if (!ReadLine(&line) || line != ".") return false;
        if (count > 0) {
            anyParsed = true;
            out->collections.push_back(first);
        }
    }
    out->refused = refused || !anyParsed;
    return true;
}

bool WineSide::Run(const std::vector<const CaseInput*>& inputs, std::vector<SideResult>* outs) {
    outs->assign(inputs.size(), SideResult{});
    std::string request;
    for (const CaseInput* input : inputs) request += Request(*input);
    request += "F\n";
    bool good = Exchange(request);
    size_t read = 0;
    for (; good && read < inputs.size(); ++read) good = ReadCase(*inputs[read], &(*outs)[read]);
    if (good) return true;
    // Something in the batch took the child down: start again and take
    // the cases one at a time to find which.
    for (size_t i = 0; i < inputs.size(); ++i) {
        if (i == 0 || (*outs)[i - 1].crashed) {
            Stop();
            ++restarts_;
            if (!Start()) {
                ok_ = false;
                return false;
            }
        }
        SideResult& out = (*outs)[i];
        if (Exchange(Request(*inputs[i]) + "F\n") && ReadCase(*inputs[i], &out)) continue;
        fprintf(stderr, "hiddiff: Wine's side died or hung on case %s\n", inputs[i]->id.c_str());
        out = SideResult{};
        out.answers.resize(inputs[i]->reports.size());
        out.refused = out.crashed = true;
    }
    if (outs->back().crashed) {
        Stop();
        ++restarts_;
        if (!Start()) {
            ok_ = false;
            return false;
        }
    }
    return true;
}
