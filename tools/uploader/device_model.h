// The two appliance models the uploader serves. They differ only in their
// display name and in the shell command that resets them.
#pragma once

#include <string>
#include <vector>

namespace uplder {

class CDeviceModel {
public:
    virtual ~CDeviceModel() = default;
    virtual void LoadModelName() = 0;
    virtual const std::string& GetResetCommand() const = 0;
    virtual const std::string& GetModelName() const = 0;
};

// A model's profile: its display name (a string-table id) and reset command.
// Model 1 (id 37, "echo 0 > /proc/wdt/wdt") is selected by -inc1 or by no
// option, model 2 (id 38, "reboot") by -inc2.
class CDeviceModelProfile : public CDeviceModel {
public:
    CDeviceModelProfile(int nameId, const char* reset) : m_nameId(nameId), m_reset(reset) {}
    void LoadModelName() override;
    const std::string& GetResetCommand() const override { return m_reset; }
    const std::string& GetModelName() const override { return m_name; }

private:
    int m_nameId;
    std::string m_name;
    std::string m_reset;
};

// The profile the command line selects: exact, case-sensitive matches of
// "-inc1" and "-inc2" anywhere in args (position 0 included); the last wins.
CDeviceModel& selectModel(const std::vector<std::string>& args);

}  // namespace uplder
