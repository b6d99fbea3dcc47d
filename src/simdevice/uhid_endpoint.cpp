#include "simdevice/uhid_endpoint.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <linux/uhid.h>
#include <poll.h>
#include <unistd.h>

#include "link/protocol.h"
#include "simdevice/report_descriptor.h"

namespace tarv::simdevice {
namespace {

bool Send(int fd, const uhid_event& event) {
    return ::write(fd, &event, sizeof event) == static_cast<ssize_t>(sizeof event);
}

}  // namespace

UhidEndpoint::UhidEndpoint(std::string node) : m_node(std::move(node)) {}

UhidEndpoint::~UhidEndpoint() {
    Disconnect();
}

bool UhidEndpoint::Connect(std::string& error) {
    if (m_fd >= 0) {
        return true;
    }
    m_fd = ::open(m_node.c_str(), O_RDWR | O_CLOEXEC | O_NONBLOCK);
    if (m_fd < 0) {
        error = "cannot open " + m_node + ": " + std::strerror(errno);
        return false;
    }
    uhid_event event{};
    event.type = UHID_CREATE2;
    uhid_create2_req& create = event.u.create2;
    std::strncpy(reinterpret_cast<char*>(create.name), "Tarv simulated device",
                 sizeof create.name - 1);
    std::strncpy(reinterpret_cast<char*>(create.phys), "tarv-sim-device", sizeof create.phys - 1);
    create.rd_size = static_cast<__u16>(REPORT_DESCRIPTOR.size());
    create.bus = BUS_USB;
    create.vendor = TARV_VENDOR_ID;
    create.product = TARV_PRODUCT_ID;
    std::copy(REPORT_DESCRIPTOR.begin(), REPORT_DESCRIPTOR.end(), create.rd_data);
    if (!Send(m_fd, event)) {
        error = "cannot create the uhid device: " + std::string(std::strerror(errno));
        ::close(m_fd);
        m_fd = -1;
        return false;
    }
    return true;
}

void UhidEndpoint::Disconnect() {
    if (m_fd < 0) {
        return;
    }
    uhid_event event{};
    event.type = UHID_DESTROY;
    Send(m_fd, event);
    ::close(m_fd);  // closing destroys it as well
    m_fd = -1;
}

int UhidEndpoint::ReadOutput(std::span<std::uint8_t, DEVICE_REPORT_SIZE> report, int timeoutMs) {
    if (m_fd < 0) {
        return -1;
    }
    pollfd p{m_fd, POLLIN, 0};
    const int ready = ::poll(&p, 1, timeoutMs);
    if (ready <= 0) {
        return ready < 0 && errno != EINTR ? -1 : 0;
    }
    uhid_event event{};
    const ssize_t n = ::read(m_fd, &event, sizeof event);
    if (n < 0) {
        return errno == EAGAIN || errno == EINTR ? 0 : -1;
    }
    switch (event.type) {
        case UHID_OUTPUT: {
            // uhid hands over what the writer gave hidraw: the report ID byte first. The device
            // has no numbered reports, so that byte is not part of the report.
            const uhid_output_req& output = event.u.output;
            if (output.rtype != UHID_OUTPUT_REPORT || output.size < 1) {
                return 0;
            }
            const std::size_t count = std::min<std::size_t>(output.size - 1u, DEVICE_REPORT_SIZE);
            std::copy_n(output.data + 1, count, report.begin());
            return static_cast<int>(count);
        }
        case UHID_GET_REPORT: {
            // The device has no feature reports; say so rather than leave the asker waiting.
            uhid_event reply{};
            reply.type = UHID_GET_REPORT_REPLY;
            reply.u.get_report_reply.id = event.u.get_report.id;
            reply.u.get_report_reply.err = EIO;
            Send(m_fd, reply);
            return 0;
        }
        case UHID_SET_REPORT: {
            uhid_event reply{};
            reply.type = UHID_SET_REPORT_REPLY;
            reply.u.set_report_reply.id = event.u.set_report.id;
            reply.u.set_report_reply.err = EIO;
            Send(m_fd, reply);
            return 0;
        }
        default:
            return 0;  // start, stop, open, close: nothing to do
    }
}

InputResult UhidEndpoint::WriteInput(std::span<const std::uint8_t> report) {
    if (m_fd < 0) {
        return InputResult::Failed;
    }
    uhid_event event{};
    event.type = UHID_INPUT2;
    event.u.input2.size = static_cast<__u16>(std::min(report.size(), DEVICE_REPORT_SIZE));
    std::copy_n(report.begin(), event.u.input2.size, event.u.input2.data);
    if (!Send(m_fd, event)) {
        return errno == EAGAIN || errno == EINTR ? InputResult::NotNow : InputResult::Failed;
    }
    return InputResult::Taken;
}

}  // namespace tarv::simdevice
