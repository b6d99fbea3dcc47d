#include "inhibit/logind_inhibitor.h"
#include "link/hidapi/hidapi_transport.h"
#include "link/in_use_marker.h"
#include "rig/device_rig.h"

namespace tarv {
namespace {

class CHardwareRig final : public DeviceRig {
  public:
    CHidLink& Link() override { return m_link; }
    Clock& RunClock() override { return SystemClock::Instance(); }
    SleepInhibitor& Inhibitor() override { return m_inhibitor; }

  private:
    LogindInhibitor m_inhibitor;
    HidapiTransport m_transport;
    AbstractSocketMarker m_marker;
    CHidLink m_link{m_transport, m_marker, SystemClock::Instance()};
};

}  // namespace

std::unique_ptr<DeviceRig> MakeHardwareRig() {
    return std::make_unique<CHardwareRig>();
}

}  // namespace tarv
