// gatex1d_support: what the gatex1d tests share; see gatex1d_support.h.
#include "gatex1d_support.h"

#include <fcntl.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <unistd.h>

#include <fstream>

namespace gatex1dt {

MeterbusSim::MeterbusSim(const std::string& dir)
    : busLog_(dir + "/bus.log"), control_(dir + "/bus.ctl"), out_(dir + "/sim.out")
{
}

bool MeterbusSim::start(std::vector<std::string> settings, int timeoutMs)
{
    unlink(out_.c_str());
    unlink(busLog_.c_str());
    settings.insert(settings.begin(), {rig::binDir() + "/meterbus-sim", "--log", busLog_, "--control", control_});
    rig::Process::Options o;
    o.stdoutPath = out_;
    if (!proc_.start(settings, o)) {
        error_ = proc_.error();
        return false;
    }
    bool named = rig::waitUntil([&] { return rig::readFile(out_).find('\n') != std::string::npos; }, timeoutMs, 20);
    if (!named) {
        error_ = "meterbus-sim printed no pty path within " + std::to_string(timeoutMs) + " ms";
        return false;
    }
    std::string s = rig::readFile(out_);
    dev_ = s.substr(0, s.find('\n'));
    return true;
}

namespace {

// The bus log's size now: where to look from for what comes next.
std::streamoff endOf(const std::string& path)
{
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    return in ? static_cast<std::streamoff>(in.tellg()) : 0;
}

// True when the log shows the setting applied after offset.
bool appliedSince(const std::string& path, std::streamoff offset, const std::string& setting)
{
    std::ifstream in(path, std::ios::binary);
    in.seekg(offset);
    for (std::string l; std::getline(in, l);)
        if (l == "# " + setting)
            return true;
    return false;
}

}  // namespace

bool MeterbusSim::control(const std::string& setting, int timeoutMs)
{
    std::streamoff before = endOf(busLog_);
    int fd = open(control_.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        error_ = "cannot open " + control_;
        return false;
    }
    std::string l = setting + "\n";
    bool written = write(fd, l.data(), l.size()) == static_cast<ssize_t>(l.size());
    close(fd);
    if (!written) {
        error_ = "cannot write to " + control_;
        return false;
    }
    if (!rig::waitUntil([&] { return appliedSince(busLog_, before, setting); }, timeoutMs)) {
        error_ = "meterbus-sim did not apply '" + setting + "' within " + std::to_string(timeoutMs) + " ms";
        return false;
    }
    return true;
}

void MeterbusSim::stop() { proc_.stop(); }

void endGatex1d()
{
    for (pid_t p : rig::pidsOf("gatex1d"))
        rig::endPid(p, 2000);
    int id = shmget(1111, 0, 0);
    if (id >= 0)
        shmctl(id, IPC_RMID, nullptr);
}

}  // namespace gatex1dt
