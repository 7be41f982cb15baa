// ifs: the network interface table of the appliance. It is read once (at daemon
// start, again after a restart) and then answers two questions from memory: the
// comma-separated list of interface names, and one interface's hardware address as
// "%02X:%02X:%02X:%02X:%02X:%02X". gatex1d answers get_ifs and get_hwaddr from it;
// ZR1Communicator learns its own MAC address through it.
#pragma once
#include <cstddef>
#include <string>
#include <vector>

struct IfsEntry {
    char name[16];    // up to 15 characters
    char hwaddr[18];  // 17 characters
};

// Builds the table from the kernel (SIOCGIFCONF for at most maxifs interfaces, then
// SIOCGIFHWADDR for each), replacing the table of an earlier call. Failures of the
// kernel requests are not errors: the list is then empty or the address zero.
void ifs_init(int maxifs);
// The name list, e.g. "eth0,lo"; empty when no interface was reported.
const char* ifs_get_ifs();
// The address text of the interface called name; a null or empty name means
// "eth0". nullptr when the table has no such interface.
const char* ifs_get_hwaddr(const char* name);

// The pure part, for tests and for ifs_init: formats six address bytes, and replaces
// the table with the given entries (names cut at 15 characters).
void ifs_format_hwaddr(char out[18], const unsigned char bytes[6]);
void ifs_set_table(const std::vector<IfsEntry>& entries);
