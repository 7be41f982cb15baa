// meterbus-sim: MEWTOCOL-COM meters on a pseudo-terminal. It holds the pty master,
// prints the slave's path as the first line of its standard output, and answers
// the read-register frames that arrive, with the timing of a real line when asked.
// Command line and control channel: docs/meterbus-sim.md, or --help.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <random>
#include <string>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include "model.h"

namespace {
const char kUsage[] =
    "usage: meterbus-sim [options]\n"
    "  --meter STATION:KIND[:LEAVES]   a meter of kind 1 or 2 with circuits LEAVES (1,2,5)\n"
    "  --reg STATION:REG=VALUE         a 16-bit data register (decimal or 0x..)\n"
    "  --reg32 STATION:REG=VALUE       a 32-bit value in REG (low word) and REG+1\n"
    "  --error STATION[:CC]            the station answers every read with error CC (42)\n"
    "  --error-reg STATION:REG:CC      reads that cover REG answer error CC\n"
    "  --silent STATION                the station never answers\n"
    "  --short STATION                 data answers cut after two register characters\n"
    "  --garbage STATION               answers that are neither data nor error\n"
    "  --noise PERCENT                 garble that share of the answers (0..100)\n"
    "  --seed N                        seed of the noise (default 1)\n"
    "  --delay MS                      wait before answering (default 0)\n"
    "  --every N                       answer only every Nth frame that has an answer (1..100,\n"
    "                                  default 1); the others go unanswered\n"
    "  --chatter PERCENT               after that share of the answers, junk on the line before\n"
    "                                  the next frame (0..100)\n"
    "  --baud N                        pace both directions at N baud, 11 bits a byte\n"
    "                                  (8O1); 0 = no line time (default)\n"
    "  --log FILE                      append one line per frame received and answer sent\n"
    "  --link PATH                     also make PATH a symbolic link to the slave\n"
    "  --control PATH                  make a FIFO at PATH; lines written to it are settings\n"
    "                                  as above without \"--\" (\"silent 3\", \"normal 3\",\n"
    "                                  \"meter 4:2:1\", \"remove 4\", \"delay 200\", \"noise 0\")\n";

meterbus::Bus g_bus;
int g_delayMs = 0;
int g_baud = 0;
int g_noise = 0;
int g_every = 1;
long g_answerable = 0;  // frames a station would have answered
int g_chatter = 0;
std::mt19937 g_rng(1);
FILE* g_log = nullptr;
std::string g_link, g_control;
volatile sig_atomic_t g_stop = 0;

void on_stop(int) { g_stop = 1; }

std::string shown(const std::string& s) {
    std::string o;
    for (unsigned char c : s) {
        if (c == '\r') o += "\\r";
        else if (c == '\n') o += "\\n";
        else if (c == '\\') o += "\\\\";
        else if (c < 32 || c > 126) {
            char b[8];
            snprintf(b, sizeof b, "\\x%02x", c);
            o += b;
        } else o += (char)c;
    }
    return o;
}

void logLine(const char* what, const std::string& s) {
    if (!g_log) return;
    fprintf(g_log, "%s %s\n", what, shown(s).c_str());
    fflush(g_log);
}

// Settings that are not about one meter, then the model's own.
bool setting(const std::string& name, const std::string& value, std::string* err) {
    auto num = [&](int* out, int lo, int hi) {
        char* end;
        long v = strtol(value.c_str(), &end, 10);
        if (value.empty() || *end || v < lo || v > hi) {
            *err = name + " " + value + ": out of range";
            return false;
        }
        *out = (int)v;
        return true;
    };
    if (name == "delay") return num(&g_delayMs, 0, 600000);
    if (name == "baud") return num(&g_baud, 0, 4000000);
    if (name == "noise") return num(&g_noise, 0, 100);
    if (name == "every") return num(&g_every, 1, 100);
    if (name == "chatter") return num(&g_chatter, 0, 100);
    if (name == "seed") {
        int s;
        if (!num(&s, 0, 0x7fffffff)) return false;
        g_rng.seed((unsigned)s);
        return true;
    }
    return g_bus.apply(name, value, err);
}

long long nowNs() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (long long)ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

void sleepUntil(long long ns) {
    struct timespec ts;
    ts.tv_sec = ns / 1000000000LL;
    ts.tv_nsec = ns % 1000000000LL;
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR && !g_stop) {
    }
}

long long byteNs() { return g_baud > 0 ? 11LL * 1000000000LL / g_baud : 0; }

// Noise on the line: a character changed, or junk in front.
std::string garble(std::string s) {
    if (g_noise <= 0 || (int)(g_rng() % 100) >= g_noise || s.empty()) return s;
    if (g_rng() % 2 == 0) {
        size_t at = g_rng() % (s.size() > 1 ? s.size() - 1 : 1);  // keep the line end
        s[at] = (char)(0x21 + g_rng() % 94);
    } else {
        s.insert(0, 1, (char)(0x21 + g_rng() % 94));
    }
    return s;
}

// Writes the answer as the line would carry it: one byte every 11 bits.
void sendPaced(int master, const std::string& s) {
    long long per = byteNs();
    if (per == 0) {
        size_t off = 0;
        while (off < s.size()) {
            ssize_t w = write(master, s.data() + off, s.size() - off);
            if (w < 0 && errno == EINTR) continue;
            if (w <= 0) return;
            off += (size_t)w;
        }
        return;
    }
    long long t = nowNs();
    for (char c : s) {
        t += per;
        sleepUntil(t);
        if (write(master, &c, 1) < 0 && errno != EINTR) return;
    }
}

void handleFrame(int master, const std::string& frame, long long lastByteNs) {
    logLine("<", frame);
    // The request takes its line time to arrive: what the daemon wrote at once
    // has only been received when its last byte would have been.
    long long ready = lastByteNs + (long long)frame.size() * byteNs() + (long long)g_delayMs * 1000000LL;
    auto ans = g_bus.answer(frame);
    if (!ans) {
        logLine("-", "");
        return;
    }
    if (g_every > 1 && g_answerable++ % g_every != 0) {
        logLine("-", "");
        return;
    }
    sleepUntil(ready);
    std::string out = garble(*ans);
    logLine(">", out);
    sendPaced(master, out);
    if (g_chatter > 0 && (int)(g_rng() % 100) < g_chatter) {
        // Noise between frames: printable junk that never starts a frame, ended
        // by a carriage return or not.
        std::string junk;
        for (int n = 1 + (int)(g_rng() % 20); n > 0; n--) {
            char c = (char)(0x21 + g_rng() % 94);
            junk += c == '%' ? '#' : c;
        }
        if (g_rng() % 2) junk += '\r';
        logLine("~", junk);
        sendPaced(master, junk);
    }
}

void controlLine(const std::string& line) {
    std::string l = line;
    while (!l.empty() && (l.back() == '\n' || l.back() == '\r' || l.back() == ' ')) l.pop_back();
    if (l.empty()) return;
    size_t sp = l.find(' ');
    std::string err;
    if (!setting(l.substr(0, sp), sp == std::string::npos ? "" : l.substr(sp + 1), &err))
        fprintf(stderr, "meterbus-sim: %s\n", err.c_str());
    else
        logLine("#", l);
}

int openControl() {
    // Read and write, so the FIFO never reports end of input between writers.
    return open(g_control.c_str(), O_RDWR | O_NONBLOCK);
}
}  // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        if (a == "--help" || a == "-h") {
            fputs(kUsage, stdout);
            return 0;
        }
        if (a.rfind("--", 0) != 0 || i + 1 >= argc) {
            fprintf(stderr, "meterbus-sim: bad argument %s\n%s", a.c_str(), kUsage);
            return 2;
        }
        std::string name = a.substr(2), value = argv[++i];
        std::string err;
        if (name == "log") {
            g_log = fopen(value.c_str(), "a");
            if (!g_log) {
                perror(value.c_str());
                return 2;
            }
        } else if (name == "link") {
            g_link = value;
        } else if (name == "control") {
            g_control = value;
        } else if (!setting(name, value, &err)) {
            fprintf(stderr, "meterbus-sim: %s\n", err.c_str());
            return 2;
        }
    }

    int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) < 0 || unlockpt(master) < 0) {
        perror("meterbus-sim: pty");
        return 1;
    }
    std::string slavePath = ptsname(master);
    // Our own hold on the slave keeps the master readable while no daemon has the
    // device open (no EIO between exchanges). Echo off until the daemon sets it up.
    int slave = open(slavePath.c_str(), O_RDWR | O_NOCTTY);
    if (slave >= 0) {
        struct termios t;
        if (tcgetattr(slave, &t) == 0) {
            cfmakeraw(&t);
            tcsetattr(slave, TCSANOW, &t);
        }
    }
    if (!g_link.empty()) {
        unlink(g_link.c_str());
        if (symlink(slavePath.c_str(), g_link.c_str()) < 0) {
            perror(g_link.c_str());
            return 1;
        }
    }
    int ctl = -1;
    if (!g_control.empty()) {
        unlink(g_control.c_str());
        if (mkfifo(g_control.c_str(), 0600) < 0 || (ctl = openControl()) < 0) {
            perror(g_control.c_str());
            return 1;
        }
    }
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_stop;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);

    printf("%s\n", slavePath.c_str());
    fflush(stdout);

    std::string frame, ctlBuf;
    while (!g_stop) {
        struct pollfd p[2] = {{master, POLLIN, 0}, {ctl, POLLIN, 0}};
        int r = poll(p, ctl >= 0 ? 2 : 1, 1000);
        if (r < 0) continue;
        if (ctl >= 0 && (p[1].revents & POLLIN)) {
            char b[512];
            ssize_t n;
            while ((n = read(ctl, b, sizeof b)) > 0) ctlBuf.append(b, (size_t)n);
            size_t nl;
            while ((nl = ctlBuf.find('\n')) != std::string::npos) {
                controlLine(ctlBuf.substr(0, nl));
                ctlBuf.erase(0, nl + 1);
            }
        }
        if (!(p[0].revents & (POLLIN | POLLHUP | POLLERR))) continue;
        char b[256];
        ssize_t n = read(master, b, sizeof b);
        if (n <= 0) {
            usleep(10000);
            continue;
        }
        long long t = nowNs();
        for (ssize_t i = 0; i < n; i++) {
            frame += b[i];
            if (b[i] == '\r') {
                handleFrame(master, frame, t);
                frame.clear();
            } else if (frame.size() > 2048) {
                frame.clear();  // no line end in sight: line noise
            }
        }
    }
    if (!g_link.empty()) unlink(g_link.c_str());
    if (!g_control.empty()) unlink(g_control.c_str());
    if (slave >= 0) close(slave);
    close(master);
    return 0;
}
