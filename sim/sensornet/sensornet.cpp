// sensornet: a simulated RS-485 sensor network on a pseudo-terminal, for serlink's
// tests, the demo and the benchmarks. It prints the slave path on the first line of
// standard output, then answers the command frames that arrive on the line as the
// nodes given on the command line would. See usage() and docs/serlink.md.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <termios.h>
#include <unistd.h>
#include <vector>

#include "sensornet_model.h"

using namespace sensornet;

static void usage(FILE* out) {
    fputs(
        "usage: sensornet [--log FILE] [--time-answer] NODE...\n"
        "  Opens a pty, prints its slave path on the first line of standard output and\n"
        "  answers the sensor-network frames written to it until killed.\n"
        "  NODE is ID[:OPTION,OPTION...] with ID one of 0-9, A-F. Options:\n"
        "    types=T0/T1/..  terminal types of channels 0, 1, .. (\"10\", \"20\", \"00\";\n"
        "                    channels not given are \"00\", absent)\n"
        "    values=V1/../V7 the seven 8-character value fields of every leaf\n"
        "                    (default: %08d of node*10000 + leaf*100 + field*10)\n"
        "    mark=MM         value mark of every leaf (default: the leaf's terminal type)\n"
        "    silent          no answers at all        nogp     no answer to \"GP\"\n"
        "    noscan          no leaf-scan answer      novalue  no value answers\n"
        "    bcc=bad|lower   wrong or lower-case check characters\n"
        "    noise=N         N noise bytes before the STX\n"
        "    stx2            a broken start (STX and two bytes) before the frame\n"
        "    twice           the answer twice in one write\n"
        "    nocr            no CR after the check characters\n"
        "    delay=MS        pause before answering\n"
        "    split=MS        answer in two writes MS apart\n"
        "    pad=N           N extra bytes in the leaf-scan answer\n"
        "    huge=N          value answer of N bytes without ETX\n"
        "  --log FILE      one line per received frame: 'ok BODY' or 'bad BODY' (bad check),\n"
        "                  bytes outside 0x20-0x7e as \\xNN\n"
        "  --time-answer   answer the time broadcast (nodes are silent to it by default)\n",
        out);
}

static std::string printable(const std::string& s) {
    std::string o;
    for (unsigned char c : s) {
        if (c >= 0x20 && c <= 0x7e && c != '\\') {
            o += (char)c;
        } else {
            char b[8];
            snprintf(b, sizeof b, "\\x%02x", c);
            o += b;
        }
    }
    return o;
}

int main(int argc, char** argv) {
    std::vector<Node> nodes;
    FILE* log = nullptr;
    bool time_answer = false;
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        if (a == "-h" || a == "--help") {
            usage(stdout);
            return 0;
        } else if (a == "--log" && i + 1 < argc) {
            log = fopen(argv[++i], "a");
            if (!log) {
                perror(argv[i]);
                return 2;
            }
            setvbuf(log, nullptr, _IOLBF, 0);
        } else if (a == "--time-answer") {
            time_answer = true;
        } else {
            Node n;
            std::string err;
            if (!parse_node(a, n, err)) {
                fprintf(stderr, "sensornet: %s\n", err.c_str());
                usage(stderr);
                return 2;
            }
            nodes.push_back(n);
        }
    }

    int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) < 0 || unlockpt(master) < 0) {
        perror("sensornet: pty");
        return 1;
    }
    const char* slave = ptsname(master);
    // Hold the slave open ourselves: between serlink's exchanges nobody else has
    // it, and a pty whose slave is closed reports a hang-up on the master.
    int hold = open(slave, O_RDWR | O_NOCTTY);
    if (hold < 0) {
        perror("sensornet: slave");
        return 1;
    }
    struct termios t;
    tcgetattr(hold, &t);
    cfmakeraw(&t);
    tcsetattr(hold, TCSANOW, &t);
    printf("%s\n", slave);
    fflush(stdout);
    signal(SIGPIPE, SIG_IGN);

    FrameReader reader;
    for (;;) {
        struct pollfd p = {master, POLLIN, 0};
        if (poll(&p, 1, -1) < 0) {
            if (errno == EINTR) continue;
            perror("sensornet: poll");
            return 1;
        }
        uint8_t buf[4096];
        ssize_t n = read(master, buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN || errno == EIO) {
                usleep(1000);
                continue;
            }
            perror("sensornet: read");
            return 1;
        }
        std::vector<Frame> frames;
        reader.feed(buf, (size_t)n, frames);
        for (const Frame& f : frames) {
            if (log) fprintf(log, "%s %s\n", f.bcc_ok ? "ok" : "bad", printable(f.body).c_str());
            for (const Piece& piece : respond(nodes, f, time_answer)) {
                if (piece.pause_ms > 0) usleep((useconds_t)piece.pause_ms * 1000);
                ssize_t w = write(master, piece.bytes.data(), piece.bytes.size());
                (void)w;
            }
        }
    }
}
