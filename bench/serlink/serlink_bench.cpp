// serlink benchmark: (1) the answer receiver against the least work any receiver
// does (copy and XOR the same bytes); (2) one hello round trip through serlink on
// the real queues against a bare echo process on the same kind of queues. Runs in
// the appliance rig (private IPC keys). Prints "name ours peer ratio unit" lines and
// RESULT lines for scripts/bench.
#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

#include "serlink_frame.h"
#include "zrmsg.h"

static double now_us() {
    return std::chrono::duration<double, std::micro>(
               std::chrono::steady_clock::now().time_since_epoch()).count();
}

// The human line, then the report line scripts/bench collects (see bench/README.md).
static void row(const char* name, double ours, double peer, const char* peerName, const char* unit) {
    printf("%-28s %-14.3f %-14.3f %-10.2f %s\n", name, ours, peer, ours / peer, unit);
    printf("RESULT|serlink|%s|%.3f|%.3f|%s|%s|%.4f|-\n", name, ours, peer, peerName, unit, ours / peer);
}

int main(int argc, char** argv) {
    // (1) receiver: a 158-byte leaf-scan answer, fed whole.
    std::string body = "323SN010000";
    for (int c = 0; c < 16; c++) body += c < 15 ? "10000000," : "10000000";
    uint8_t frame[200];
    size_t n = 0;
    frame[n++] = ZR_STX;
    memcpy(frame + n, body.data(), body.size());
    n += body.size();
    frame[n++] = ZR_ETX;
    char chk[3];
    snprintf(chk, sizeof chk, "%02X", zr_bcc(frame + 1, n - 1));
    frame[n++] = (uint8_t)chk[0];
    frame[n++] = (uint8_t)chk[1];
    frame[n++] = ZR_CR;
    const int R = 200000;
    static ZrReceiver r;
    volatile int sink = 0;
    double t0 = now_us();
    for (int i = 0; i < R; i++) {
        zr_rcv_init(r);
        sink += zr_rcv_feed(r, frame, n, nullptr);
    }
    double ours = (now_us() - t0) / R;
    static uint8_t copy[1024];
    t0 = now_us();
    for (int i = 0; i < R; i++) {
        memset(copy, 0, sizeof copy);
        uint8_t v = 0;
        for (size_t k = 0; k < n; k++) v ^= (copy[k] = frame[k]);
        sink += v;
    }
    double peer = (now_us() - t0) / R;
    row("serlink receiver 158B", ours, peer, "copy and XOR of the same bytes", "us/frame");

    // (2) hello round trip: argv[1] is the serlink program, started here with
    // the default keys in the current (scratch) folder.
    if (argc < 2) return 0;
    fflush(stdout);  // nothing buffered may be written twice by the children
    int ans = msgget(2000, IPC_CREAT | 0666);
    pid_t sl = fork();
    if (sl == 0) {
        if (!freopen("/dev/null", "w", stdout) || !freopen("/dev/null", "w", stderr)) _exit(126);
        execl(argv[1], "serlink", (char*)nullptr);
        _exit(127);
    }
    int req = -1;
    for (int i = 0; i < 500 && (req = msgget(1000, 0)) < 0; i++) usleep(10000);
    if (req < 0 || ans < 0) {
        fprintf(stderr, "serlink queues not there\n");
        return 1;
    }
    const int H = 2000;
    MsgRequest q;
    MsgAnswer a;
    t0 = now_us();
    for (int i = 0; i < H; i++) {
        zr_make_request(q, ZRCMD_HELLO, '0', '0', i);
        zr_send_request(req, q);
        zr_recv_answer(ans, a);
    }
    ours = (now_us() - t0) / H;
    // Peer: a child that answers each request with a cleared answer record.
    int preq = msgget(IPC_PRIVATE, IPC_CREAT | 0600), pans = msgget(IPC_PRIVATE, IPC_CREAT | 0600);
    fflush(stdout);
    pid_t child = fork();
    if (child == 0) {
        MsgRequest cq;
        static MsgAnswer ca;
        for (int i = 0; i < H; i++) {
            zr_recv_request(preq, cq);
            zr_prepare_answer(ca, cq);
            zr_send_answer(pans, ca);
        }
        _exit(0);
    }
    t0 = now_us();
    for (int i = 0; i < H; i++) {
        zr_make_request(q, ZRCMD_HELLO, '0', '0', i);
        zr_send_request(preq, q);
        zr_recv_answer(pans, a);
    }
    peer = (now_us() - t0) / H;
    waitpid(child, nullptr, 0);
    msgctl(preq, IPC_RMID, nullptr);
    msgctl(pans, IPC_RMID, nullptr);
    row("serlink hello round trip", ours, peer, "bare echo on two queues", "us/request");
    zr_make_request(q, ZRCMD_STOP, '0', '0', -1);
    zr_send_request(req, q);
    zr_recv_answer(ans, a);
    waitpid(sl, nullptr, 0);
    msgctl(ans, IPC_RMID, nullptr);
    return sink == 42 ? 1 : 0;
}
