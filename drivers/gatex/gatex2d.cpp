// gatex2d: the driver daemon of the measuring nodes behind Modbus/TCP node
// gateways. It runs the gatex daemon frame with its own settings (port, maxnodes),
// a shared segment made anew at every start and restart, and its own requests:
// rescan fills the node table gateway by gateway, get_leaves lists the leaves of all
// scanned gateways, get_value reads one register block from the gateway it names.
#include <cstdlib>

#include "daemonframe.h"
#include "ini.h"
#include "log.h"
#include "ov3.h"
#include "reqloop.h"
#include "text.h"
#include "utlink.h"
#include "utnode.h"

namespace {
constexpr const char* kVersion = "2.5 (Jan 18 2012 10:46:12)";
// The segment holds 64 KiB of leaf list per record; beyond this the segment would
// outgrow what a small appliance can give.
constexpr int kMaxNodesLimit = 1024;

int g_port = 1112;
int g_maxnodes = 8;
UtSocketLink g_link;

void configure() {
    if (const char* v = ini_value("port")) g_port = drv_atoi(v);
    if (const char* v = ini_value("maxnodes")) {
        int n = drv_atoi(v);
        if (n < 0 || n > kMaxNodesLimit) {
            int to = n < 0 ? 0 : kMaxNodesLimit;
            drv_log(LOG_WARNING, "maxnodes=%d out of range, %d used", n, to);
            n = to;
        }
        g_maxnodes = n;
    }
}
int port() { return g_port; }
void log_settings() { drv_log(LOG_INFO, "port=%d", g_port); }
size_t shm_size() { return ut_segment_size(g_maxnodes); }
void shm_created(void* base) { ut_table_attach(base, g_maxnodes, true); }
void prepare() { ov3_init(0); }

const drv::Dialect kDialect = {
    "gatex2d", kVersion, ut_commands, ut_ncommands, ut_raw,
    frame_request_kill, frame_request_hup,
};

const FrameHooks kHooks = {
    "gatex2d",     // program
    1112,          // shmKey
    shm_size,      //
    true,          // shmPerStart: every start and restart begins with an empty table
    shm_created,   //
    true,          // iniSections
    configure,     //
    port,          //
    log_settings,  //
    prepare,       //
    nullptr,       // beforeListen: no start-up wait, no scan at start
    &kDialect,
};
}  // namespace

int main(int argc, char** argv) {
    ut_link = &g_link;
    frame_run(kHooks, argc, argv);
}
