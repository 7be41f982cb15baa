// zr1ini: ZR1Communicator's settings, its reading of ZR1Communicator.ini, the
// leaf-name prefix and the one-entry error log.
//
// The reader is deliberately the commander's own and not the framework's
// ini_load: keys match by their first characters at column 0, the value is the
// second "="-separated piece of the line, each section stops after its keys,
// and a line that begins with "[" hands control back to the section loop.
// serlink reads the same file with its own rules ([SERIAL], [MSGQUE]).
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "text.h"
#include "zr1comm.h"

int PORT_NUMBER = 1131;
int MSGREQ_KEY = 1000;
int MSGANS_KEY = 2000;
int MSG_TIMEOUT = 2700000;
int MAXNODES = 15;
int SHMKEY231 = 1131;
char IFNAME[16] = "eth0";

const char* zr1IniPath = "/home/drivers/vexa/zr/ZR1Communicator.ini";
const char* zr1ErrorLogPath = "/home/drivers/vexa/zr/ZR1ERROR.log";

void zr1DefaultSettings() {
    PORT_NUMBER = 1131;
    MSGREQ_KEY = 1000;
    MSGANS_KEY = 2000;
    MSG_TIMEOUT = 2700000;
    MAXNODES = 15;
    SHMKEY231 = 1131;
    snprintf(IFNAME, sizeof IFNAME, "%s", "eth0");
}

namespace {

struct IniKey {
    const char* key;
    int* number;  // numeric setting, or
    char* text;   // the interface name
    size_t cap;
};

struct IniSection {
    const char* name;
    IniKey keys[3];
    int nkeys;
};

const IniSection kSections[] = {
    {"[NETWORK]", {{"port", &PORT_NUMBER, nullptr, 0}}, 1},
    {"[MSGQUE]",
     {{"key1", &MSGREQ_KEY, nullptr, 0}, {"key2", &MSGANS_KEY, nullptr, 0}, {"timeout", &MSG_TIMEOUT, nullptr, 0}},
     3},
    {"[ZR11ACOMMAND]", {{"maxnodes", &MAXNODES, nullptr, 0}}, 1},
    {"[DRVCOMMAND]", {{"ifname", nullptr, IFNAME, sizeof IFNAME}}, 1},
    {"[SHM]", {{"shmkey", &SHMKEY231, nullptr, 0}}, 1},
};

// The value is the second "="-separated piece of the line (its line end
// included); a line without one changes nothing.
void applyKey(const IniKey& k, const char* line) {
    char copy[1024];
    snprintf(copy, sizeof copy, "%s", line);
    char* save = nullptr;
    if (!strtok_r(copy, "=", &save)) return;
    char* value = strtok_r(nullptr, "=", &save);
    if (!value) return;
    if (k.number) {
        *k.number = drv_atoi(value);
    } else {
        value[strcspn(value, "\r\n")] = '\0';
        snprintf(k.text, k.cap, "%s", value);
    }
}

void readSection(FILE* fp, const IniSection& s) {
    char line[1024];
    int seen = 0;
    while (seen < s.nkeys) {
        long at = ftell(fp);
        memset(line, 0, sizeof line);
        if (!fgets(line, sizeof line, fp)) return;
        if (line[0] == '[') {
            // The next section: the loop of InitFileReadFrom reads this line again.
            if (at >= 0) fseek(fp, at, SEEK_SET);
            return;
        }
        for (int i = 0; i < s.nkeys; i++) {
            if (strncmp(line, s.keys[i].key, strlen(s.keys[i].key)) == 0) {
                applyKey(s.keys[i], line);
                seen++;
                break;
            }
        }
    }
}

}  // namespace

void InitFileReadFrom(FILE* fp) {
    char line[1024];
    for (;;) {
        memset(line, 0, sizeof line);
        if (!fgets(line, sizeof line, fp)) break;
        for (const IniSection& s : kSections) {
            if (strncmp(line, s.name, strlen(s.name)) == 0) {
                readSection(fp, s);
                break;
            }
        }
    }
    checkIniInput();
}

void InitFileRead() {
    FILE* fp = fopen(zr1IniPath, "r");
    if (!fp) {
        zr1Fail("InitFileRead:fopen");
        checkIniInput();
        return;
    }
    InitFileReadFrom(fp);
    fclose(fp);
}

void checkIniInput() {
    if (MAXNODES < 0 || MAXNODES > SpecMaxNodeID) MAXNODES = SpecMaxNodeID;
}

void zr1PrefixFromHwaddr(char out[7], const char* hw) {
    memcpy(out, "000000", 7);
    if (!hw || strnlen(hw, 17) <= 16) return;
    const int at[6] = {9, 10, 12, 13, 15, 16};
    for (int i = 0; i < 6; i++) out[i] = hw[at[i]];
}

void ErrorOut(const char* text) {
    int saved = errno;
    char when[32];
    time_t now = time(nullptr);
    struct tm lt;
    localtime_r(&now, &lt);
    char tmp[64];
    snprintf(when, sizeof when, "%s", asctime_r(&lt, tmp));
    int fd = open(zr1ErrorLogPath, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) perror("open");
    if (flock(fd, LOCK_EX) != 0) perror("flock (EX)");
    lseek(fd, 0, SEEK_SET);
    char entry[512];
    int n = snprintf(entry, sizeof entry, "%s%s(%s)\n", when, text, strerror(saved));
    if (n > int(sizeof entry) - 1) n = int(sizeof entry) - 1;
    // A failed write says nothing of its own: the caller's perror follows.
    if (fd >= 0) {
        ssize_t w = write(fd, entry, size_t(n));
        (void)w;
    }
    if (flock(fd, LOCK_UN) != 0) perror("flock (UN)");
    if (close(fd) != 0) perror("close");
    errno = saved;
}

void zr1Fail(const char* text) {
    int saved = errno;
    ErrorOut(text);
    errno = saved;
    perror(text);
}
