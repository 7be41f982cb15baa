// gatex1d: the driver daemon of the MEWTOCOL-COM power meters on the serial line.
//   gatex1d [-v] configuration-file
// It scans its meters, then serves the driver request protocol on its port (1111
// by default), one process per connection; see docs/gatex1d.md.
#include <cstdio>
#include <cstring>

#include "daemonframe.h"
#include "ifs.h"
#include "ini.h"
#include "log.h"
#include "ov3.h"
#include "pmlink.h"
#include "pmmeter.h"
#include "text.h"

namespace {
constexpr const char* kVersion = "1.18 (Dec 20 2011 10:53:25)";

int g_port = 1111;
int g_maxifs = 10;
int g_startupwait = 0;
PmSerialLine g_line;

void cmd_get_ifs(drv::Session& s) { s.conn.out("?cmd=get_ifs&status=OK&val=%s\n", ifs_get_ifs()); }

void cmd_get_hwaddr(drv::Session& s) {
    // An interface the table does not list has no address text: the value stays empty.
    const char* hw = ifs_get_hwaddr(ov3_value("if"));
    s.conn.out("?cmd=get_hwaddr&status=OK&val=%s\n", hw ? hw : "");
}

const drv::Command kCommands[] = {
    {"he", "hello", drv::cmd_hello},
    {"k", "kill", drv::cmd_kill},
    {"hu", "hup", drv::cmd_hup},
    {"v", "version", drv::cmd_version},
    {"get_i", "get_ifs", cmd_get_ifs},
    {"get_h", "get_hwaddr", cmd_get_hwaddr},
    {"get_leaves_", "get_leaves_ex", pm_cmd_get_leaves_ex},
    {"get_l", "get_leaves", pm_cmd_get_leaves},
    {"r", "rescan", pm_cmd_rescan},
    {"get_v", "get_value", pm_cmd_get_value},
};

const drv::Dialect kDialect = {
    "gatex1d", kVersion, kCommands, sizeof kCommands / sizeof kCommands[0],
    pm_raw, frame_request_kill, frame_request_hup,
};

void take_int(const char* key, int* v) {
    if (const char* t = ini_value(key)) *v = drv_atoi(t);
}

void configure() {
    take_int("port", &g_port);
    take_int("maxifs", &g_maxifs);
    if (const char* t = ini_value("device")) snprintf(pm_cfg.device, sizeof pm_cfg.device, "%s", t);
    if (const char* t = ini_value("baud")) pm_cfg.baud = pm_parse_baud(t);
    take_int("startupwait", &g_startupwait);
    take_int("maxnodes", &pm_cfg.maxnodes);
    take_int("maxleaves", &pm_cfg.maxleaves);
    pm_clamp(pm_cfg);
}

void log_settings() {
    drv_log(LOG_INFO,
            "port=%d, maxifs=%d, pm_device=%s, pm_baud=%s, pm_startupwait=%d, pm_maxnodes=%d, pm_maxleaves=%d",
            g_port, g_maxifs, pm_cfg.device, pm_speed_name(pm_cfg.baud), g_startupwait, pm_cfg.maxnodes,
            pm_cfg.maxleaves);
}

void prepare() {
    ifs_init(g_maxifs);
    ov3_init(0);
}

// A stop or restart asked for during the wait or the scan is acted on at once:
// the wait ends early, and the scan at its next probe.
void before_listen(bool first) {
    if (first && g_startupwait > 0 && !frame_pause((unsigned)g_startupwait)) return;
    pm_scan(0);
}

size_t shm_size() { return sizeof(PmShared); }
void shm_created(void* base) { pm_shared = (PmShared*)base; }
int port() { return g_port; }
}  // namespace

int main(int argc, char** argv) {
    pm_line = &g_line;
    static const FrameHooks hooks = {
        "gatex1d", 1111, shm_size, false, shm_created, false, configure, port,
        log_settings, prepare, before_listen, &kDialect,
    };
    frame_run(hooks, argc, argv);
}
