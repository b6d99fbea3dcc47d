#include "update/run_log.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <span>
#include <sys/stat.h>
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
    std::error_code error;
    const std::filesystem::path absolute = std::filesystem::absolute(package.Path(), error);
    record.packagePath = error ? package.Path() : absolute.lexically_normal().string();
    if (package.FileDigest()) {
        record.packageSha256 = Sha256Hex(*package.FileDigest());
    }
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
        {"deviceVersions", record.deviceVersions ? VersionsJson(*record.deviceVersions)
                                                 : nlohmann::ordered_json(nullptr)},
        {"packageVersions", VersionsJson(record.packageVersions)},
        {"package", record.packagePath},
        {"packageSha256", record.packageSha256.empty()
                              ? nlohmann::ordered_json(nullptr)
                              : nlohmann::ordered_json(record.packageSha256)},
        {"result", OutcomeName(record.outcome)},
        {"message", record.message.empty() ? nlohmann::ordered_json(nullptr)
                                           : nlohmann::ordered_json(record.message)},
    };
    // A path or message that is not UTF-8 must not lose the record.
    return line.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

std::unique_ptr<CRunLog> CRunLog::Open(const std::string& path, std::string& error) {
    // Read access too, to look at the last byte before each record; a file this user may only
    // write is still appended to.
    int fd = ::open(path.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0 && errno == EACCES) {
        fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    }
    if (fd < 0) {
        error = "cannot write the log " + path + ": " + std::strerror(errno);
        return nullptr;
    }
    // Never one of the standard streams' numbers, even in a program started with one closed:
    // what the program prints there would land in the log.
    if (fd <= 2) {
        const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
        const int saved = errno;
        ::close(fd);
        if (moved < 0) {
            error = "cannot write the log " + path + ": " + std::strerror(saved);
            return nullptr;
        }
        fd = moved;
    }
    return std::unique_ptr<CRunLog>(new CRunLog(path, fd));
}

CRunLog::~CRunLog() {
    ::close(m_fd);
}

bool CRunLog::Append(const RunRecord& record, std::string& error) {
    std::string line = FormatRunRecord(record) + "\n";
    const auto fail = [&](const std::string& why) {
        error = "cannot write the log " + m_path + ": " + why;
        return false;
    };

    struct stat info {};
    if (::fstat(m_fd, &info) != 0) {
        return fail(std::strerror(errno));
    }
    if (S_ISREG(info.st_mode)) {
        // A line left unfinished before (a crash, another program) must not swallow this one.
        char last = '\n';
        if (info.st_size > 0 && ::pread(m_fd, &last, 1, info.st_size - 1) == 1 && last != '\n') {
            line.insert(line.begin(), '\n');
        }
        // Room for the whole record first, so a full disk refuses it before a byte goes out.
        // Not every file system can reserve; those go on to the write, which is then the test.
        if (::fallocate(m_fd, FALLOC_FL_KEEP_SIZE, info.st_size, static_cast<off_t>(line.size())) !=
                0 &&
            (errno == ENOSPC || errno == EDQUOT)) {
            return fail(std::string(std::strerror(errno)) + "; the record was not written");
        }
    }

    ssize_t n;
    do {
        n = ::write(m_fd, line.data(), line.size());
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        return fail(std::strerror(errno));
    }
    if (n != static_cast<ssize_t>(line.size())) {
        // Take the part back, so that the file holds whole records only. With O_APPEND the
        // offset is now the end of what went out; only when nobody has appended since is it
        // the end of the file.
        const off_t end = ::lseek(m_fd, 0, SEEK_CUR);
        struct stat now {};
        if (end >= n && ::fstat(m_fd, &now) == 0 && now.st_size == end &&
            ::ftruncate(m_fd, end - n) == 0) {
            return fail("the disk took only part of the record, which was taken back");
        }
        return fail("the record went out in part");
    }
    return true;
}

}  // namespace tarv
