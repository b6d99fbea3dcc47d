#include "simdevice/usb_gadget.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <sstream>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "link/protocol.h"
#include "simdevice/report_descriptor.h"

namespace tarv::simdevice {
namespace {

namespace fs = std::filesystem;

// configfs takes each attribute in one write.
bool WriteAttribute(const fs::path& path, const std::string& text) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    const ssize_t n = ::write(fd, text.data(), text.size());
    ::close(fd);
    return n == static_cast<ssize_t>(text.size());
}

std::string ReadAttribute(const fs::path& path) {
    std::ifstream in(path);
    std::string text;
    std::getline(in, text);
    return text;
}

std::string Hex(unsigned value) {
    std::ostringstream out;
    out << "0x" << std::hex << value;
    return out.str();
}

std::string SystemError(const std::string& what) {
    return what + ": " + std::strerror(errno);
}

}  // namespace

UsbGadgetEndpoint::UsbGadgetEndpoint(std::string udc, std::string configfs)
    : m_udc(std::move(udc)), m_configfs(std::move(configfs)) {}

UsbGadgetEndpoint::~UsbGadgetEndpoint() {
    Disconnect();
    Remove();
}

bool UsbGadgetEndpoint::Create(std::string& error) {
    std::error_code ec;
    if (m_udc.empty()) {
        for (const fs::directory_entry& entry : fs::directory_iterator("/sys/class/udc", ec)) {
            m_udc = entry.path().filename();
            break;
        }
        if (m_udc.empty()) {
            error = "no USB device controller in /sys/class/udc (is dummy_hcd loaded?)";
            return false;
        }
    }
    const fs::path gadget = fs::path(m_configfs) / "tarv";
    const fs::path function = gadget / "functions/hid.usb0";
    const fs::path config = gadget / "configs/c.1";
    for (const fs::path& dir :
         {gadget, gadget / "strings/0x409", function, config, config / "strings/0x409"}) {
        if (::mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) {
            error = SystemError("cannot make " + dir.string());
            Remove();
            return false;
        }
        if (m_gadget.empty()) {
            m_gadget = gadget;
        }
    }
    const std::string descriptor(REPORT_DESCRIPTOR.begin(), REPORT_DESCRIPTOR.end());
    const std::pair<fs::path, std::string> attributes[] = {
        {gadget / "idVendor", Hex(TARV_VENDOR_ID)},
        {gadget / "idProduct", Hex(TARV_PRODUCT_ID)},
        {gadget / "bcdUSB", "0x0200"},
        {gadget / "bcdDevice", "0x0100"},
        {gadget / "strings/0x409/manufacturer", "Tarv"},
        {gadget / "strings/0x409/product", "Tarv simulated device"},
        {gadget / "strings/0x409/serialnumber", "SIM0001"},
        {config / "MaxPower", "100"},
        {config / "strings/0x409/configuration", "HID"},
        {function / "protocol", "0"},
        {function / "subclass", "0"},
        {function / "report_length", std::to_string(DEVICE_REPORT_SIZE)},
        {function / "report_desc", descriptor},
    };
    for (const auto& [path, text] : attributes) {
        if (!WriteAttribute(path, text)) {
            error = SystemError("cannot write " + path.string());
            Remove();
            return false;
        }
    }
    const fs::path link = config / "hid.usb0";
    if (::symlink(function.c_str(), link.c_str()) != 0 && errno != EEXIST) {
        error = SystemError("cannot link the function into the configuration");
        Remove();
        return false;
    }
    return true;
}

bool UsbGadgetEndpoint::Connect(std::string& error) {
    if (m_fd >= 0) {
        return true;
    }
    if (!WriteAttribute(fs::path(m_gadget) / "UDC", m_udc)) {
        error = SystemError("cannot bind the gadget to " + m_udc);
        return false;
    }
    // The function's character device: "major:minor" in its dev attribute, /dev/hidg<minor>.
    const std::string dev = ReadAttribute(fs::path(m_gadget) / "functions/hid.usb0/dev");
    const std::string node = "/dev/hidg" + dev.substr(dev.find(':') + 1);
    for (int attempt = 0; attempt < 200 && m_fd < 0; ++attempt) {
        m_fd = ::open(node.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        if (m_fd < 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    if (m_fd < 0) {
        error = SystemError("cannot open " + node);
        WriteAttribute(fs::path(m_gadget) / "UDC", "\n");
        return false;
    }
    return true;
}

void UsbGadgetEndpoint::Disconnect() {
    if (m_fd < 0) {
        return;
    }
    ::close(m_fd);
    m_fd = -1;
    // An empty name unbinds: the device leaves the bus.
    WriteAttribute(fs::path(m_gadget) / "UDC", "\n");
}

int UsbGadgetEndpoint::ReadOutput(std::span<std::uint8_t, DEVICE_REPORT_SIZE> report,
                                  int timeoutMs) {
    if (m_fd < 0) {
        return -1;
    }
    pollfd p{m_fd, POLLIN, 0};
    const int ready = ::poll(&p, 1, timeoutMs);
    if (ready <= 0) {
        return ready < 0 && errno != EINTR ? -1 : 0;
    }
    const ssize_t n = ::read(m_fd, report.data(), report.size());
    if (n < 0) {
        return errno == EAGAIN || errno == EINTR ? 0 : -1;
    }
    return static_cast<int>(n);
}

InputResult UsbGadgetEndpoint::WriteInput(std::span<const std::uint8_t> report) {
    if (m_fd < 0) {
        return InputResult::Failed;
    }
    const ssize_t n = ::write(m_fd, report.data(), report.size());
    if (n < 0) {
        return errno == EAGAIN || errno == EINTR ? InputResult::NotNow : InputResult::Failed;
    }
    return InputResult::Taken;
}

void UsbGadgetEndpoint::Remove() {
    if (m_gadget.empty()) {
        return;
    }
    const fs::path gadget = m_gadget;
    ::unlink((gadget / "configs/c.1/hid.usb0").c_str());
    for (const fs::path& dir : {gadget / "configs/c.1/strings/0x409", gadget / "configs/c.1",
                                gadget / "functions/hid.usb0", gadget / "strings/0x409", gadget}) {
        ::rmdir(dir.c_str());
    }
    m_gadget.clear();
}

}  // namespace tarv::simdevice
