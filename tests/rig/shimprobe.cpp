// rig_shimprobe DEVICE STEP...: performs serial set-up steps on DEVICE the way the
// daemons do, one per argument, and prints one line per step with what it returned:
//   "<step> ok [fields]"  or  "<step> fail <ERRNO-NAME>"
// Steps:
//   open            open DEVICE (O_RDWR|O_NOCTTY|O_NONBLOCK), closing the previous one
//   close           close it
//   gserial         TIOCGSERIAL; prints type line port flags baud_base
//   sserial=PORT    TIOCSSERIAL with the last TIOCGSERIAL record, port set to PORT
//   set=FMT@BAUD    tcsetattr TCSANOW, FMT like 7E1 8O1 8N2 (data bits, N/E/O, stop bits)
//   get             tcgetattr; prints speed cs parenb parodd cstopb cread
//   flush           tcflush TCIFLUSH
//   forkset=FMT@BAUD  the same as set, done by a forked child
// Used by the shim's self-test, with and without the shim preloaded.
#include <fcntl.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

static int fd = -1;
static serial_struct record{};

static const char* errName(int e)
{
    const char* n = strerrorname_np(e);
    return n ? n : "E?";
}

static speed_t speedCode(long baud)
{
    switch (baud) {
    case 4800: return B4800;
    case 9600: return B9600;
    case 19200: return B19200;
    case 38400: return B38400;
    case 115200: return B115200;
    default: return B0;
    }
}

static long baudOf(speed_t s)
{
    switch (s) {
    case B4800: return 4800;
    case B9600: return 9600;
    case B19200: return 19200;
    case B38400: return 38400;
    case B115200: return 115200;
    default: return -1;
    }
}

// "7E1@19200" -> the record a daemon builds from zeros for that line.
static bool build(const std::string& format, termios& t)
{
    size_t at = format.find('@');
    if (format.size() < 3 || at != 3)
        return false;
    std::memset(&t, 0, sizeof t);
    t.c_iflag = IGNPAR;
    t.c_oflag = ONLRET;
    t.c_cflag = CREAD | CLOCAL;
    switch (format[0]) {
    case '7': t.c_cflag |= CS7; break;
    case '8': t.c_cflag |= CS8; break;
    default: return false;
    }
    switch (format[1]) {
    case 'N': break;
    case 'E': t.c_cflag |= PARENB; break;
    case 'O': t.c_cflag |= PARENB | PARODD; break;
    default: return false;
    }
    if (format[2] == '2')
        t.c_cflag |= CSTOPB;
    speed_t sp = speedCode(std::atol(format.c_str() + at + 1));
    if (sp == B0)
        return false;
    cfsetispeed(&t, sp);
    cfsetospeed(&t, sp);
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    return true;
}

static void result(const std::string& step, int r, int err, const std::string& fields = "")
{
    if (r == 0)
        std::printf("%s ok%s\n", step.c_str(), fields.c_str());
    else
        std::printf("%s fail %s\n", step.c_str(), errName(err));
    std::fflush(stdout);
}

int main(int argc, char** argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: rig_shimprobe DEVICE STEP...\n");
        return 2;
    }
    const char* device = argv[1];
    for (int i = 2; i < argc; ++i) {
        std::string arg = argv[i];
        std::string step = arg.substr(0, arg.find('='));
        std::string value = arg.find('=') == std::string::npos ? "" : arg.substr(arg.find('=') + 1);
        int r = -1;
        if (step == "open") {
            if (fd >= 0)
                close(fd);
            fd = open(device, O_RDWR | O_NOCTTY | O_NONBLOCK);
            r = fd >= 0 ? 0 : -1;
            result(step, r, errno);
        } else if (step == "close") {
            r = close(fd);
            fd = -1;
            result(step, r, errno);
        } else if (step == "gserial") {
            r = ioctl(fd, TIOCGSERIAL, &record);
            int e = errno;
            char f[160];
            std::snprintf(f, sizeof f, " type=%d line=%d port=%u flags=0x%x baud_base=%d",
                          record.type, record.line, record.port, record.flags, record.baud_base);
            result(step, r, e, r == 0 ? f : "");
        } else if (step == "sserial") {
            record.port = static_cast<unsigned>(std::atoi(value.c_str()));
            r = ioctl(fd, TIOCSSERIAL, &record);
            result(step, r, errno);
        } else if (step == "set" || step == "forkset") {
            termios t;
            if (!build(value, t)) {
                std::fprintf(stderr, "rig_shimprobe: bad line format %s\n", value.c_str());
                return 2;
            }
            if (step == "set") {
                r = tcsetattr(fd, TCSANOW, &t);
                result(step, r, errno);
            } else {
                std::fflush(stdout);
                pid_t pid = fork();
                if (pid == 0)
                    _exit(tcsetattr(fd, TCSANOW, &t) == 0 ? 0 : 1);
                int status = 0;
                waitpid(pid, &status, 0);
                r = WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0 : -1;
                result(step, r, EIO);
            }
        } else if (step == "get") {
            termios t{};
            r = tcgetattr(fd, &t);
            int e = errno;
            char f[160];
            tcflag_t cs = t.c_cflag & CSIZE;
            std::snprintf(f, sizeof f, " speed=%ld cs=%d parenb=%d parodd=%d cstopb=%d cread=%d",
                          baudOf(cfgetospeed(&t)), cs == CS7 ? 7 : cs == CS8 ? 8 : cs == CS6 ? 6 : 5,
                          !!(t.c_cflag & PARENB), !!(t.c_cflag & PARODD), !!(t.c_cflag & CSTOPB),
                          !!(t.c_cflag & CREAD));
            result(step, r, e, r == 0 ? f : "");
        } else if (step == "flush") {
            r = tcflush(fd, TCIFLUSH);
            result(step, r, errno);
        } else {
            std::fprintf(stderr, "rig_shimprobe: unknown step %s\n", arg.c_str());
            return 2;
        }
    }
    if (fd >= 0)
        close(fd);
    return 0;
}
