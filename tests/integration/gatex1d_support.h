// gatex1d_support: what the gatex1d tests share (integration and reliability):
// meterbus-sim, started with its bus log and control FIFO in the rig's scratch
// folder, its pty path read from its first output line, settings changed through
// the FIFO and waited for until the simulator has applied them.
#pragma once

#include <string>
#include <vector>

#include "rig.h"

namespace gatex1dt {

class MeterbusSim {
public:
    // Files: DIR/bus.log (one line per frame, "# SETTING" per applied setting),
    // DIR/bus.ctl (the FIFO), DIR/sim.out (standard output).
    explicit MeterbusSim(const std::string& dir = rig::scratchDir());

    // Starts the simulator with these settings ("--meter", "1:2:1", ...). False,
    // with error(), when it did not start or named no pty within timeoutMs.
    bool start(std::vector<std::string> settings, int timeoutMs = 5000);
    // Writes one setting line ("silent 1") to the control FIFO and waits up to
    // timeoutMs until the simulator has applied it; false when it did not.
    bool control(const std::string& setting, int timeoutMs = 5000);
    void stop();

    const std::string& dev() const { return dev_; }  // the pty's slave path
    const std::string& busLog() const { return busLog_; }
    const std::string& error() const { return error_; }

private:
    std::string busLog_, control_, out_, dev_, error_;
    rig::Process proc_;
};

// Ends every gatex1d process by its PID and removes the shared segment (key 1111):
// what a test leaves behind.
void endGatex1d();

}  // namespace gatex1dt
