#include "update/run_log.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <nlohmann/json.hpp>
#include <span>
#include <unistd.h>

#include "update/messages.h"

namespace tarv {
namespace {

// Version fields as text; a byte that is not printable ASCII makes the field hex, so the log
// stays valid JSON whatever a device answers.
std::string VersionField(std::span<const char> bytes) {
    bool printable = true;
    for (const char c : bytes) {
        printable = printable && c >= 0x20 && c <= 0x7E;
    }
    if (printable) {
        return std::string(bytes.begin(), bytes.end());
    }
    static constexpr char DIGITS[] = "0123456789abcdef";
    std::string hex = "0x";
    for (const char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        hex += DIGITS[b >> 4];
        hex += DIGITS[b & 0xF];
    }
    return hex;
}

std::array<std::string, 3> VersionFields(std::span<const char> text) {
    return {VersionField(text.subspan(0, 4)), VersionField(text.subspan(5, 4)),
            VersionField(text.subspan(10, 4))};
}

nlohmann::ordered_json VersionsJson(const std::array<std::string, 3>& versions) {
    return {{"program", versions[0]}, {"sound", versions[1]}, {"map", versions[2]}};
}

std::string IsoUtc(std::chrono::system_clock::time_point at) {
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(at.time_since_epoch()).count();
    const std::time_t seconds = static_cast<std::time_t>(ms / 1000);
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char text[40];
    const std::size_t n = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
    std::snprintf(text + n, sizeof text - n, ".%03dZ", static_cast<int>(ms % 1000));
    return text;
}

}  // namespace

std::optional<std::array<std::string, 3>> ReplyVersions(const InfoReply& reply) {
    if (reply.bytes[InfoReply::OFF_TAG] != InfoReply::TAG ||
        reply.Length() < InfoReply::MIN_LENGTH || reply.Length() > InfoReply::MAX_LENGTH) {
        return std::nullopt;
    }
    std::array<char, InfoReply::MIN_LENGTH> text{};
    std::copy_n(reply.bytes.begin(), text.size(), text.begin());
    return VersionFields(text);
}

RunRecord MakeRunRecord(const CUpdateRun& run, const CUpdatePackage& package,
                        std::string devicePath, std::chrono::system_clock::time_point start,
                        std::uint32_t durationMs) {
    RunRecord record;
    record.start = start;
    record.durationMs = durationMs;
    record.devicePath = std::move(devicePath);
    record.deviceVersions = ReplyVersions(run.DeviceInfo());
    record.packageVersions = VersionFields(package.VersionText());
    record.outcome = run.Outcome();
    if (record.outcome == RunOutcome::Failure) {
        record.message = run.LastMessage();
    } else if (record.outcome == RunOutcome::Stopped) {
        record.message = MSG_STOPPED;
    }
    return record;
}

std::string FormatRunRecord(const RunRecord& record) {
    const nlohmann::ordered_json line = {
        {"start", IsoUtc(record.start)},
        {"durationMs", record.durationMs},
        {"device", record.devicePath},
        {"deviceVersions",
         record.deviceVersions ? VersionsJson(*record.deviceVersions) : nlohmann::ordered_json(nullptr)},
        {"packageVersions", VersionsJson(record.packageVersions)},
        {"result", OutcomeName(record.outcome)},
        {"message",
         record.message.empty() ? nlohmann::ordered_json(nullptr) : nlohmann::ordered_json(record.message)},
    };
    // A path or message that is not UTF-8 must not lose the record.
    return line.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

std::unique_ptr<CRunLog> CRunLog::Open(const std::string& path, std::string& error) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        error = "cannot write the log " + path + ": " + std::strerror(errno);
        return nullptr;
    }
    return std::unique_ptr<CRunLog>(new CRunLog(path, fd));
}

CRunLog::~CRunLog() {
    ::close(m_fd);
}

bool CRunLog::Append(const RunRecord& record, std::string& error) {
    const std::string line = FormatRunRecord(record) + "\n";
    ssize_t n;
    do {
        n = ::write(m_fd, line.data(), line.size());
    } while (n < 0 && errno == EINTR);
    if (n != static_cast<ssize_t>(line.size())) {
        error = "cannot write the log " + m_path + ": " +
                (n < 0 ? std::strerror(errno) : "the record went out in part");
        return false;
    }
    return true;
}

}  // namespace tarv
