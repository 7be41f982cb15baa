// nodegw: a node gateway simulator for gatex2d. Holding registers are served by
// libmodbus (an independent Modbus/TCP stack): the identity at 3013..3015, the
// channel information at 2000+10j (type byte in the low byte of the first register),
// and value blocks of 18 registers at 20(b-1): register 0 the block number, register
// 1 the age of the values in seconds (signed), registers 2..17 eight floats (high
// word first).
//
// Raw rules make it do what a correct server never does: answer a chosen exception
// code (with any function code byte), stay silent, answer short, or close. Those
// answers are written by our own socket code; every other request is answered by
// libmodbus. Usage: see usage() below and docs/gatex2d.md.
#include <arpa/inet.h>
#include <modbus/modbus.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

enum class Target { All, Identity, Channel, Block, Register };
enum class Action { Exception, Silence, Short, Close };
struct Rule {
    Target target = Target::All;
    int which = -1;  // channel, block or register; -1: every one
    Action action = Action::Silence;
    int code = 2, fc = 0x83, bytes = 0;
};

struct Config {
    std::string host = "127.0.0.1";
    int port = 0;
    std::string portFile;
    unsigned char identity[6] = {0x00, 0x01, 0x02, 0x0A, 0x0B, 0x0C};
    int types[64];
    int age = 0;
    std::vector<std::pair<int, int>> ages;  // block, seconds
    struct Value {
        int block, reg;
        float v;
    };
    std::vector<Value> values;
    std::vector<Rule> rules;
    int delayMs = 0;
    bool verbose = false;
    Config() {
        for (int& t : types) t = 255;
        types[0] = 5;
        types[1] = 4;
        types[2] = 0;
        types[3] = 3;
        types[4] = 6;
    }
} cfg;

[[noreturn]] void usage(const char* why) {
    fprintf(stderr,
            "nodegw: %s\n"
            "usage: nodegw [options]      (each option may also be a line \"name arg\" of a --config file)\n"
            "  --port N              listen on 127.0.0.1:N (0, the default: a free port); the port is\n"
            "                        printed as \"nodegw: listening on 127.0.0.1:N\"\n"
            "  --port-file F         also write the port number to F\n"
            "  --config F            read options from F (\"#\" starts a comment)\n"
            "  --identity HEX12      the six identity bytes (default 0001020A0B0C)\n"
            "  --type J=T            type byte of channel J (0..63); T=255 lists no leaves.\n"
            "                        Defaults: 0=5 1=4 2=0 3=3 4=6, the rest 255\n"
            "  --types T,T,...       type bytes of channels 0, 1, ... in one go\n"
            "  --value B:R=F         float F at register offset R (2..16) of block B; unset\n"
            "                        floats are B*100 + R + 0.5\n"
            "  --age S | B=S         age register of every block, or of block B (seconds)\n"
            "  --raw WHAT:ACTION     WHAT: all | identity | channel[=J] | block[=B] | reg=N (first\n"
            "                        register of the request); ACTION: exception=CODE[,FC] (FC default\n"
            "                        0x83) | silence | short=N (the first N bytes of the true answer) |\n"
            "                        close\n"
            "  --delay MS            wait before every answer\n"
            "  -v                    log every request on stderr\n",
            why);
    exit(2);
}

int num(const std::string& s, const char* what) {
    char* end;
    long v = strtol(s.c_str(), &end, 0);
    if (s.empty() || *end) usage((std::string("bad number for ") + what + ": " + s).c_str());
    return (int)v;
}

void parse_rule(const std::string& arg) {
    size_t colon = arg.find(':');
    if (colon == std::string::npos) usage("--raw needs WHAT:ACTION");
    std::string what = arg.substr(0, colon), act = arg.substr(colon + 1);
    Rule r;
    auto sel = [&](const char* name, Target t) {
        size_t n = strlen(name);
        if (what.compare(0, n, name) != 0) return false;
        if (what.size() == n) {
            r.target = t;
            return true;
        }
        if (what[n] != '=') return false;
        r.target = t;
        r.which = num(what.substr(n + 1), name);
        return true;
    };
    if (!(what == "all" || sel("identity", Target::Identity) || sel("channel", Target::Channel) ||
          sel("block", Target::Block) || sel("reg", Target::Register)))
        usage(("unknown --raw target " + what).c_str());
    if (act.rfind("exception=", 0) == 0) {
        r.action = Action::Exception;
        std::string v = act.substr(10);
        size_t comma = v.find(',');
        r.code = num(v.substr(0, comma), "exception code");
        if (comma != std::string::npos) r.fc = num(v.substr(comma + 1), "function code");
    } else if (act == "silence") {
        r.action = Action::Silence;
    } else if (act.rfind("short=", 0) == 0) {
        r.action = Action::Short;
        r.bytes = num(act.substr(6), "short");
    } else if (act == "close") {
        r.action = Action::Close;
    } else {
        usage(("unknown --raw action " + act).c_str());
    }
    cfg.rules.push_back(r);
}

void load_config(const char* path);

void option(const std::string& name, const std::string& arg) {
    if (name == "port") {
        cfg.port = num(arg, "port");
    } else if (name == "port-file") {
        cfg.portFile = arg;
    } else if (name == "config") {
        load_config(arg.c_str());
    } else if (name == "identity") {
        if (arg.size() != 12) usage("--identity needs 12 hexadecimal digits");
        for (int i = 0; i < 6; i++) cfg.identity[i] = (unsigned char)num("0x" + arg.substr(2 * i, 2), "identity");
    } else if (name == "type") {
        size_t eq = arg.find('=');
        if (eq == std::string::npos) usage("--type needs J=T");
        int j = num(arg.substr(0, eq), "channel");
        if (j < 0 || j > 63) usage("channel out of 0..63");
        cfg.types[j] = num(arg.substr(eq + 1), "type") & 255;
    } else if (name == "types") {
        size_t p = 0;
        for (int j = 0; j < 64 && p <= arg.size(); j++) {
            size_t c = arg.find(',', p);
            cfg.types[j] = num(arg.substr(p, c - p), "type") & 255;
            if (c == std::string::npos) break;
            p = c + 1;
        }
    } else if (name == "value") {
        size_t colon = arg.find(':'), eq = arg.find('=');
        if (colon == std::string::npos || eq == std::string::npos || eq < colon) usage("--value needs B:R=F");
        cfg.values.push_back({num(arg.substr(0, colon), "block"), num(arg.substr(colon + 1, eq - colon - 1), "reg"),
                              strtof(arg.c_str() + eq + 1, nullptr)});
    } else if (name == "age") {
        size_t eq = arg.find('=');
        if (eq == std::string::npos)
            cfg.age = num(arg, "age");
        else
            cfg.ages.push_back({num(arg.substr(0, eq), "block"), num(arg.substr(eq + 1), "age")});
    } else if (name == "raw") {
        parse_rule(arg);
    } else if (name == "delay") {
        cfg.delayMs = num(arg, "delay");
    } else {
        usage(("unknown option " + name).c_str());
    }
}

void load_config(const char* path) {
    FILE* f = fopen(path, "r");
    if (!f) usage((std::string("cannot open ") + path).c_str());
    char line[1024];
    while (fgets(line, sizeof line, f)) {
        std::string s(line);
        size_t hash = s.find('#');
        if (hash != std::string::npos) s.erase(hash);
        size_t b = s.find_first_not_of(" \t\r\n");
        if (b == std::string::npos) continue;
        size_t e = s.find_first_of(" \t\r\n", b);
        std::string name = s.substr(b, e - b);
        std::string arg;
        if (e != std::string::npos) {
            size_t ab = s.find_first_not_of(" \t\r\n", e);
            if (ab != std::string::npos) arg = s.substr(ab, s.find_last_not_of(" \t\r\n") - ab + 1);
        }
        option(name, arg);
    }
    fclose(f);
}

void put_float(uint16_t* regs, int at, float v) {
    uint32_t u;
    memcpy(&u, &v, 4);
    regs[at] = (uint16_t)(u >> 16);
    regs[at + 1] = (uint16_t)u;
}

modbus_mapping_t* build_map() {
    modbus_mapping_t* m = modbus_mapping_new_start_address(0, 0, 0, 0, 0, 65535, 0, 0);
    if (!m) {
        fprintf(stderr, "nodegw: modbus_mapping_new: %s\n", modbus_strerror(errno));
        exit(1);
    }
    uint16_t* r = m->tab_registers;
    for (int i = 0; i < 3; i++) r[3013 + i] = (uint16_t)(cfg.identity[2 * i] << 8 | cfg.identity[2 * i + 1]);
    for (int j = 0; j < 64; j++) {
        r[2000 + 10 * j] = (uint16_t)cfg.types[j];  // byte 0 = 0, byte 1 = type
        r[2000 + 10 * j + 1] = (uint16_t)j;
    }
    for (int b = 1; b <= 64; b++) {
        int first = 20 * (b - 1);
        r[first] = (uint16_t)b;
        r[first + 1] = (uint16_t)(int16_t)cfg.age;
        for (int reg = 2; reg < 18; reg += 2) put_float(r, first + reg, (float)(b * 100 + reg) + 0.5f);
    }
    for (auto& a : cfg.ages)
        if (a.first >= 1 && 20 * (a.first - 1) + 1 < 65535) r[20 * (a.first - 1) + 1] = (uint16_t)(int16_t)a.second;
    for (auto& v : cfg.values) {
        int at = 20 * (v.block - 1) + v.reg;
        if (v.block >= 1 && at >= 0 && at + 1 < 65535) put_float(r, at, v.v);
    }
    return m;
}

const Rule* match(int first) {
    for (const Rule& r : cfg.rules) {
        bool hit = false;
        switch (r.target) {
        case Target::All: hit = true; break;
        case Target::Identity: hit = first == 3013; break;
        case Target::Channel:
            hit = first >= 2000 && first < 2640 && (first - 2000) % 10 == 0 &&
                  (r.which < 0 || first == 2000 + 10 * r.which);
            break;
        case Target::Block:
            hit = first < 2000 && first % 20 == 0 && (r.which < 0 || first == 20 * (r.which - 1));
            break;
        case Target::Register: hit = first == r.which; break;
        }
        if (hit) return &r;
    }
    return nullptr;
}

void write_all(int fd, const uint8_t* p, size_t n) {
    while (n > 0) {
        ssize_t w = send(fd, p, n, MSG_NOSIGNAL);
        if (w <= 0) return;
        p += w;
        n -= (size_t)w;
    }
}

// The true answer to a read-holding-registers request, as libmodbus would send it.
std::vector<uint8_t> true_answer(const uint8_t* req, modbus_mapping_t* map) {
    int first = req[8] << 8 | req[9], count = req[10] << 8 | req[11];
    std::vector<uint8_t> a(req, req + 7);
    a.push_back(3);
    a.push_back((uint8_t)(2 * count));
    for (int i = 0; i < count && first + i < 65535; i++) {
        a.push_back((uint8_t)(map->tab_registers[first + i] >> 8));
        a.push_back((uint8_t)map->tab_registers[first + i]);
    }
    int len = (int)a.size() - 6;
    a[4] = (uint8_t)(len >> 8);
    a[5] = (uint8_t)len;
    return a;
}

[[noreturn]] void serve(int fd, modbus_mapping_t* map) {
    modbus_t* ctx = modbus_new_tcp("127.0.0.1", 0);
    modbus_set_socket(ctx, fd);
    uint8_t req[MODBUS_TCP_MAX_ADU_LENGTH];
    for (;;) {
        int n = modbus_receive(ctx, req);
        if (n < 0) break;
        if (n == 0) continue;  // not for us
        int fc = req[7];
        int first = n >= 10 ? req[8] << 8 | req[9] : -1;
        if (cfg.verbose) fprintf(stderr, "nodegw: function %d first %d\n", fc, first);
        if (cfg.delayMs > 0) usleep((useconds_t)cfg.delayMs * 1000);
        const Rule* r = fc == 3 && n >= 12 ? match(first) : nullptr;
        if (!r) {
            modbus_reply(ctx, req, n, map);
            continue;
        }
        switch (r->action) {
        case Action::Exception: {
            uint8_t a[9] = {req[0], req[1], req[2], req[3], 0, 3, req[6], (uint8_t)r->fc, (uint8_t)r->code};
            write_all(fd, a, sizeof a);
            break;
        }
        case Action::Silence: break;
        case Action::Short: {
            std::vector<uint8_t> a = true_answer(req, map);
            write_all(fd, a.data(), std::min(a.size(), (size_t)std::max(r->bytes, 0)));
            break;
        }
        case Action::Close:
            close(fd);
            _exit(0);
        }
    }
    close(fd);
    _exit(0);
}
}  // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        if (a == "-v") {
            cfg.verbose = true;
            continue;
        }
        if (a == "-h" || a == "--help") usage("help");
        if (a.rfind("--", 0) != 0 || i + 1 >= argc) usage(("bad argument " + a).c_str());
        option(a.substr(2), argv[++i]);
    }
    modbus_mapping_t* map = build_map();

    int ls = socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    setsockopt(ls, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons((uint16_t)cfg.port);
    inet_pton(AF_INET, cfg.host.c_str(), &addr.sin_addr);
    if (bind(ls, (sockaddr*)&addr, sizeof addr) < 0 || listen(ls, 16) < 0) {
        fprintf(stderr, "nodegw: bind 127.0.0.1:%d: %s\n", cfg.port, strerror(errno));
        return 1;
    }
    socklen_t len = sizeof addr;
    getsockname(ls, (sockaddr*)&addr, &len);
    int port = ntohs(addr.sin_port);
    if (!cfg.portFile.empty()) {
        std::string tmp = cfg.portFile + ".tmp";
        FILE* f = fopen(tmp.c_str(), "w");
        if (f) {
            fprintf(f, "%d\n", port);
            fclose(f);
            rename(tmp.c_str(), cfg.portFile.c_str());
        }
    }
    printf("nodegw: listening on 127.0.0.1:%d\n", port);
    fflush(stdout);

    signal(SIGCHLD, SIG_IGN);  // connection processes reap themselves
    pid_t parent = getpid();
    for (;;) {
        int fd = accept(ls, nullptr, nullptr);
        if (fd < 0) {
            if (errno == EINTR) continue;
            perror("nodegw: accept");
            usleep(100000);
            continue;
        }
        pid_t pid = fork();
        if (pid == 0) {
            // A connection process ends with the simulator: the test that started
            // the simulator ends it by its PID alone.
            prctl(PR_SET_PDEATHSIG, SIGTERM);
            if (getppid() != parent) _exit(0);
            close(ls);
            serve(fd, map);
        }
        close(fd);
    }
}
