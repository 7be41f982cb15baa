// device_model: the two appliance models' display names and reset commands; see
// device_model.h.
#include "device_model.h"

#include "messages.h"

namespace uplder {

namespace {
CDeviceModelProfile g_model1(IDS_MODEL_ORV3, "echo 0 > /proc/wdt/wdt");
CDeviceModelProfile g_model2(IDS_MODEL_ORV4, "reboot");
}  // namespace

void CDeviceModelProfile::LoadModelName() { m_name = uplder_msg(m_nameId); }

CDeviceModel& selectModel(const std::vector<std::string>& args) {
    CDeviceModel* m = &g_model1;
    for (const std::string& a : args) {
        if (a == "-inc1") m = &g_model1;
        else if (a == "-inc2") m = &g_model2;
    }
    return *m;
}

}  // namespace uplder
