// model: the meters of the meter-bus simulator and how they answer, as pure code
// over text. A meter has a station number, a kind (1: two circuits per block of
// 100 data registers, 2: one), the circuits that are present and a register map;
// stations can be made silent, answer with an error code, answer cut short or with
// garbage. The shell (main.cpp) puts this behind a pty with line timing and noise.
#pragma once
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>

namespace meterbus {

enum class Mode { Normal, Silent, Error, Short, Garbage };

struct Meter {
    int station = 1;
    int kind = 2;
    std::set<int> leaves;               // circuits present (1..31)
    std::map<int, uint16_t> regs;       // registers set explicitly
    Mode mode = Mode::Normal;
    std::string errorCode = "42";       // Mode::Error
    std::map<int, std::string> regErrors;  // a read that covers the register fails so
};

class Bus {
public:
    // Applies one setting, as on the command line without its "--" (or as a line of
    // the control channel): "meter 3:2:1,2", "reg 3:340=0x3039", "reg32 3:340=12345",
    // "error 3:42", "error-reg 3:340:61", "silent 3", "short 3", "garbage 3",
    // "normal 3", "remove 3". False with *err set when the setting is malformed.
    bool apply(const std::string& name, const std::string& value, std::string* err);
    // The answer to one request frame (its carriage return included or not), with
    // check code and carriage return; nullopt when no station answers.
    std::optional<std::string> answer(const std::string& frame) const;
    // A register as the meter reports it.
    uint16_t reg(const Meter& m, int r) const;
    const std::map<int, Meter>& meters() const { return meters_; }

private:
    std::map<int, Meter> meters_;
};

// "%01$RD" + data: the check code (XOR of every character, two upper-case hex
// digits) and the carriage return added.
std::string withCheck(const std::string& body);
// The four characters of a register, low byte first: 0x3039 -> "3930".
std::string regText(uint16_t v);

}  // namespace meterbus
