// ifs: see ifs.h.
#include "ifs.h"

#include <cstdio>
#include <cstring>

#ifndef _WIN32
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace {
std::vector<IfsEntry> g_table;
std::string g_names;  // 16 bytes per interface are always enough: 15 + separator
}  // namespace

void ifs_format_hwaddr(char out[18], const unsigned char b[6]) {
    snprintf(out, 18, "%02X:%02X:%02X:%02X:%02X:%02X", b[0], b[1], b[2], b[3], b[4], b[5]);
}

void ifs_set_table(const std::vector<IfsEntry>& entries) {
    g_table.clear();
    g_names.clear();
    for (IfsEntry e : entries) {
        e.name[sizeof e.name - 1] = '\0';
        e.hwaddr[sizeof e.hwaddr - 1] = '\0';
        if (!g_names.empty()) g_names += ',';
        g_names += e.name;
        g_table.push_back(e);
    }
}

void ifs_init(int maxifs) {
    std::vector<IfsEntry> found;
#ifndef _WIN32
    if (maxifs < 0) maxifs = 0;
    int sock = socket(AF_INET, SOCK_STREAM, 0);
    if (sock >= 0 && maxifs > 0) {
        std::vector<struct ifreq> reqs((size_t)maxifs);
        struct ifconf conf;
        memset(&conf, 0, sizeof conf);
        conf.ifc_len = (int)(reqs.size() * sizeof(struct ifreq));
        conf.ifc_req = reqs.data();
        if (ioctl(sock, SIOCGIFCONF, &conf) == 0) {
            size_t n = (size_t)conf.ifc_len / sizeof(struct ifreq);
            if (n > reqs.size()) n = reqs.size();
            for (size_t i = 0; i < n; i++) {
                IfsEntry e;
                memset(&e, 0, sizeof e);
                memcpy(e.name, reqs[i].ifr_name, sizeof e.name - 1);
                struct ifreq hw;
                memset(&hw, 0, sizeof hw);
                memcpy(hw.ifr_name, reqs[i].ifr_name, IFNAMSIZ);
                // A failed request leaves the zeroed address: reported as zeros.
                ioctl(sock, SIOCGIFHWADDR, &hw);
                ifs_format_hwaddr(e.hwaddr, (const unsigned char*)hw.ifr_hwaddr.sa_data);
                found.push_back(e);
            }
        }
    }
    if (sock >= 0) close(sock);
#else
    (void)maxifs;
#endif
    ifs_set_table(found);
}

const char* ifs_get_ifs() { return g_names.c_str(); }

const char* ifs_get_hwaddr(const char* name) {
    if (!name || !*name) name = "eth0";
    if (strlen(name) > 15) return nullptr;
    for (const IfsEntry& e : g_table)
        if (strcmp(e.name, name) == 0) return e.hwaddr;
    return nullptr;
}
