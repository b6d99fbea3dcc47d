#include "simdevice/uhid_endpoint.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <linux/uhid.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
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
    m_bStop.store(false);
    m_reader = std::thread([this] { Reader(); });
    return true;
}

void UhidEndpoint::Disconnect() {
    if (m_fd < 0) {
        return;
    }
    m_bStop.store(true);
    m_reader.join();
    {
        const std::lock_guard guard(m_mutex);
        m_reports.clear();  // what was in flight is lost with the device
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
    std::unique_lock lock(m_mutex);
    if (!m_arrived.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                            [this] { return !m_reports.empty(); })) {
        return 0;
    }
    const std::vector<std::uint8_t> bytes = std::move(m_reports.front());
    m_reports.pop_front();
    std::copy(bytes.begin(), bytes.end(), report.begin());
    return static_cast<int>(bytes.size());
}

void UhidEndpoint::Reader() {
    // Woken by every report, the reader must run before the writer can queue 32 more, also on
    // one processor: a real-time priority has it preempt the writer. Without the right to one
    // it carries on at the normal priority and a fast writer may lose reports.
    sched_param priority{};
    priority.sched_priority = 10;
    pthread_setschedparam(pthread_self(), SCHED_FIFO, &priority);
    while (!m_bStop.load()) {
        pollfd p{m_fd, POLLIN, 0};
        if (::poll(&p, 1, 10) <= 0) {
            continue;
        }
        uhid_event event{};
        if (::read(m_fd, &event, sizeof event) <= 0) {
            continue;
        }
        if (event.type == UHID_OUTPUT) {
            // uhid hands over what the writer gave hidraw: the report ID byte first. The device
            // has no numbered reports, so that byte is not part of the report.
            const uhid_output_req& output = event.u.output;
            if (output.rtype != UHID_OUTPUT_REPORT || output.size < 1) {
                continue;
            }
            const std::size_t count = std::min<std::size_t>(output.size - 1u, DEVICE_REPORT_SIZE);
            {
                const std::lock_guard guard(m_mutex);
                m_reports.emplace_back(output.data + 1, output.data + 1 + count);
            }
            m_arrived.notify_one();
        } else {
            Answer(event);
        }
    }
}

void UhidEndpoint::Answer(const uhid_event& request) {
    // The device has no feature reports; say so rather than leave the asker waiting. Start,
    // stop, open and close need nothing.
    uhid_event reply{};
    if (request.type == UHID_GET_REPORT) {
        reply.type = UHID_GET_REPORT_REPLY;
        reply.u.get_report_reply.id = request.u.get_report.id;
        reply.u.get_report_reply.err = EIO;
        Send(m_fd, reply);
    } else if (request.type == UHID_SET_REPORT) {
        reply.type = UHID_SET_REPORT_REPLY;
        reply.u.set_report_reply.id = request.u.set_report.id;
        reply.u.set_report_reply.err = EIO;
        Send(m_fd, reply);
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
