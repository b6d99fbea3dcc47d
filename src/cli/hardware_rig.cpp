#include "cli/device_rig.h"
#include "link/hidapi/hidapi_transport.h"
#include "link/in_use_marker.h"

namespace tarv::cli {
namespace {

class CHardwareRig final : public DeviceRig {
  public:
    CHidLink& Link() override { return m_link; }
    Clock& RunClock() override { return SystemClock::Instance(); }

  private:
    HidapiTransport m_transport;
    AbstractSocketMarker m_marker;
    CHidLink m_link{m_transport, m_marker, SystemClock::Instance()};
};

}  // namespace

std::unique_ptr<DeviceRig> MakeHardwareRig() {
    return std::make_unique<CHardwareRig>();
}

}  // namespace tarv::cli
