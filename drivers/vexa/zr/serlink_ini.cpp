// serlink_ini: see serlink_ini.h.
#include "serlink_ini.h"

#include <cerrno>
#include <climits>
#include <cstring>

#include "serlink_core.h"
#include "text.h"

char device[13] = "/dev/ttyUSB0";
int baud = 3;
long timeout_usec = 1400000;
int recvkey = 1000;
int sendkey = 2000;

void ini_defaults() {
    snprintf(device, sizeof device, "%s", "/dev/ttyUSB0");
    baud = 3;
    timeout_usec = 1400000;
    recvkey = 1000;
    sendkey = 2000;
}

int ini_baud_code(const char* value, const char** echo) {
    static const struct { const char* text; int code; } speeds[] = {
        {"4800", 1}, {"9600", 2}, {"19200", 3}, {"38400", 4}};
    for (const auto& s : speeds) {
        if (strncmp(value, s.text, strlen(s.text)) == 0) {
            if (echo) *echo = s.text;
            return s.code;
        }
    }
    if (echo) *echo = nullptr;
    return 3;
}

// Leading decimal digits (after blanks) as a long, saturating instead of overflowing.
static long leading_digits(const char* s) {
    while (drv_isblank(*s)) s++;
    long v = 0;
    for (; *s >= '0' && *s <= '9'; s++) v = v > (LONG_MAX - 9) / 10 ? LONG_MAX : v * 10 + (*s - '0');
    return v;
}

namespace {
struct Key {
    const char* name;
    void (*store)(const char* value, FILE* out);
};

void store_device(const char* value, FILE* out) {
    // The value runs to the line end; drop that (LF, or CR LF of a file edited on
    // a PC). A last line without a line end keeps all its characters.
    size_t n = strcspn(value, "\r\n");
    if (n > sizeof device - 1) n = sizeof device - 1;
    memcpy(device, value, n);
    device[n] = '\0';
    fprintf(out, "device=%s\n", device);
}
void store_baud(const char* value, FILE* out) {
    const char* echo;
    baud = ini_baud_code(value, &echo);
    if (echo) fprintf(out, "baud=%s\n", echo);
}
void store_timeout(const char* value, FILE* out) {
    timeout_usec = leading_digits(value);
    fprintf(out, "timeout=%ld\n", timeout_usec);
}
void store_key1(const char* value, FILE* out) {
    recvkey = drv_atoi(value);
    fprintf(out, "recvkey=%d\n", recvkey);
}
void store_key2(const char* value, FILE* out) {
    sendkey = drv_atoi(value);
    fprintf(out, "sendkey=%d\n", sendkey);
}

const Key serial_keys[] = {{"device", store_device}, {"baud", store_baud}, {"timeout", store_timeout}};
const Key msgque_keys[] = {{"key1", store_key1}, {"key2", store_key2}};

// Reads key lines of one section until all its keys were seen or a line
// beginning with "[" comes (left for the caller to read as a header).
void section_loop(FILE* in, FILE* out, const Key* keys, int nkeys) {
    char line[1024];
    int counted = 0;
    while (counted < nkeys) {
        long pos = ftell(in);
        if (!fgets(line, sizeof line, in)) return;
        if (line[0] == '[') {
            fseek(in, pos, SEEK_SET);
            return;
        }
        char* eq = strchr(line, '=');
        if (!eq) continue;  // a key line without "=" carries no value: skipped
        char* value = eq + 1;
        char* end = strchr(value, '=');
        if (end) *end = '\0';
        for (int k = 0; k < nkeys; k++) {
            if (strncmp(line, keys[k].name, strlen(keys[k].name)) == 0) {
                keys[k].store(value, out);
                counted++;
                break;
            }
        }
    }
}
}  // namespace

void ini_reader_file(FILE* in, FILE* out) {
    char line[1024];
    while (fgets(line, sizeof line, in)) {
        if (strncmp(line, "[SERIAL]", 8) == 0) {
            fprintf(out, "[SERIAL]\n");
            section_loop(in, out, serial_keys, 3);
        } else if (strncmp(line, "[MSGQUE]", 8) == 0) {
            fprintf(out, "[MSGQUE]\n");
            section_loop(in, out, msgque_keys, 2);
        }
    }
}

void ini_reader() {
    FILE* in = fopen("./ZR1Communicator.ini", "r");
    if (!in) {
        int e = errno;
        log_writer(LOG_ALERT, "ini file open", e);
        errno = e;
        perror("ini file open");
        return;
    }
    ini_reader_file(in, stdout);
    fclose(in);
}
