// The per-device log of a factory line: one JSON line per run, appended to a file the operator
// names (--log). Nothing is written unless asked.
//
// Each record goes out in one write(2) on a descriptor opened with O_APPEND, so lines of
// several processes do not mix, earlier lines are never touched, and a crash loses at most the
// line being written, never a part of an older one.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "link/protocol.h"
#include "package/package.h"
#include "update/update_run.h"

namespace tarv {

struct RunRecord {
    std::chrono::system_clock::time_point start;
    std::uint32_t durationMs = 0;
    std::string devicePath;
    // Program, sound and map versions as the device reported them before the run; nothing
    // when it did not answer with them.
    std::optional<std::array<std::string, 3>> deviceVersions;
    std::array<std::string, 3> packageVersions;
    std::string packagePath;    // absolute
    std::string packageSha256;  // hex; empty when the load did not hash the file
    RunOutcome outcome = RunOutcome::Failure;
    std::string message;  // the failing step's message; empty when none
};

// The record of a finished run.
RunRecord MakeRunRecord(const CUpdateRun& run, const CUpdatePackage& package,
                        std::string devicePath, std::chrono::system_clock::time_point start,
                        std::uint32_t durationMs);

// The versions a query reply carries (bytes 0..3, 5..8 and 10..13), when it carries them.
std::optional<std::array<std::string, 3>> ReplyVersions(const InfoReply& reply);

// One JSON object on one line, without the line end: start (ISO 8601, UTC, milliseconds),
// durationMs, device, deviceVersions (null or program/sound/map), packageVersions, package (its
// absolute path), packageSha256 (null when unknown), result (success, failure, declined or
// stopped) and message (null or the text).
std::string FormatRunRecord(const RunRecord& record);

class CRunLog {
  public:
    // Opens `path` for appending, creating it (mode 0644 less the umask) when missing. Null,
    // with the reason in `error`, when it cannot be written.
    static std::unique_ptr<CRunLog> Open(const std::string& path, std::string& error);
    ~CRunLog();
    CRunLog(const CRunLog&) = delete;
    CRunLog& operator=(const CRunLog&) = delete;

    // Appends one record. False, with the reason in `error`, when the line did not go out whole.
    bool Append(const RunRecord& record, std::string& error);

    const std::string& Path() const { return m_path; }

  private:
    CRunLog(std::string path, int fd) : m_path(std::move(path)), m_fd(fd) {}

    std::string m_path;
    int m_fd;
};

}  // namespace tarv
