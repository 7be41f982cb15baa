#include "device_model.h"

#include "messages.h"

namespace uplder {

namespace {
COrvane3Model g_model1;
COrvane4Model g_model2;
}  // namespace

void COrvane3Model::LoadModelName() { m_name = uplder_msg(IDS_MODEL_ORV3); }
void COrvane4Model::LoadModelName() { m_name = uplder_msg(IDS_MODEL_ORV4); }

CDeviceModel& selectModel(const std::vector<std::string>& args) {
    CDeviceModel* m = &g_model1;
    for (const std::string& a : args) {
        if (a == "-inc1") m = &g_model1;
        else if (a == "-inc2") m = &g_model2;
    }
    return *m;
}

}  // namespace uplder
