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

// Model 1: selected by -inc1 or by no option.
class COrvane3Model : public CDeviceModel {
public:
    void LoadModelName() override;
    const std::string& GetResetCommand() const override { return m_reset; }
    const std::string& GetModelName() const override { return m_name; }

private:
    std::string m_name;
    std::string m_reset = "echo 0 > /proc/wdt/wdt";
};

// Model 2: selected by -inc2.
class COrvane4Model : public CDeviceModel {
public:
    void LoadModelName() override;
    const std::string& GetResetCommand() const override { return m_reset; }
    const std::string& GetModelName() const override { return m_name; }

private:
    std::string m_name;
    std::string m_reset = "reboot";
};

// The profile the command line selects: exact, case-sensitive matches of
// "-inc1" and "-inc2" anywhere in args (position 0 included); the last wins.
CDeviceModel& selectModel(const std::vector<std::string>& args);

}  // namespace uplder
