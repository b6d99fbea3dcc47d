#include "link/in_use_marker.h"

#include <cstddef>
#include <cstring>
#include <errno.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace tarv {
namespace {

class SocketHold final : public InUseMarker::Hold {
  public:
    explicit SocketHold(int fd) : m_fd(fd) {}
    ~SocketHold() override { close(m_fd); }
    SocketHold(const SocketHold&) = delete;
    SocketHold& operator=(const SocketHold&) = delete;

  private:
    int m_fd;
};

}  // namespace

AbstractSocketMarker::AbstractSocketMarker(std::string name) : m_name(std::move(name)) {}

InUseMarker::Result AbstractSocketMarker::Create(std::unique_ptr<Hold>& hold) {
    hold.reset();
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    // An abstract name starts with a NUL byte; the rest need not be NUL-terminated.
    const std::size_t length = std::min(m_name.size(), sizeof address.sun_path - 1);
    std::memcpy(address.sun_path + 1, m_name.data(), length);
    const auto size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + length);

    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return Result::Failed;
    }
    if (bind(fd, reinterpret_cast<const sockaddr*>(&address), size) != 0) {
        const int error = errno;
        close(fd);
        return error == EADDRINUSE ? Result::AlreadyExists : Result::Failed;
    }
    hold = std::make_unique<SocketHold>(fd);
    return Result::Created;
}

}  // namespace tarv
