#include "update/update_run.h"

#include <algorithm>

#include "base/random.h"
#include "update/messages.h"
#include "update/records.h"
#include "update/validation.h"

namespace tarv {
namespace {

constexpr std::uint32_t WAIT_SLICE_MS = 20;

std::uint32_t BlockOf(std::uint32_t flashAddress) {
    return (flashAddress - FLASH_BASE) / FLASH_BLOCK_SIZE;
}

}  // namespace

const char* OutcomeName(RunOutcome outcome) {
    switch (outcome) {
        case RunOutcome::Success:
            return "success";
        case RunOutcome::Declined:
            return "declined";
        case RunOutcome::Stopped:
            return "stopped";
        case RunOutcome::Running:
        case RunOutcome::Failure:
            break;
    }
    return "failure";
}

CUpdateRun::CUpdateRun(CHidLink& link, const CUpdatePackage& package, ProgressPage& page,
                       Clock& clock, bool continuousMode)
    : m_link(link),
      m_package(package),
      m_page(page),
      m_clock(clock),
      m_bContinuousMode(continuousMode) {
    m_deviceInfo.bytes.fill(0xFF);
}

CUpdateRun::~CUpdateRun() {
    if (m_worker.joinable()) {
        RequestStop();
        m_worker.join();
    }
}

void CUpdateRun::Start() {
    m_worker = std::jthread([this] { UpdateThreadProc(); });
}

void CUpdateRun::RequestStop() {
    if (m_stop.request_stop() && m_bFinished.load(std::memory_order_acquire) == 0) {
        // Whatever the worker is doing with the device fails from here on.
        m_link.CloseDevice();
    }
}

void CUpdateRun::Join() {
    if (m_worker.joinable()) {
        m_worker.join();
    }
}

RunOutcome CUpdateRun::Outcome() const {
    if (m_bFinished.load(std::memory_order_acquire) == 0) {
        return Failed() ? RunOutcome::Failure : RunOutcome::Running;
    }
    if (m_bDeclined.load()) {
        return RunOutcome::Declined;
    }
    if (m_bSuccess.load(std::memory_order_acquire) != 0) {
        return RunOutcome::Success;
    }
    // A stop that came while a failure's box waited does not undo the failure.
    return StopRequested() && !Failed() ? RunOutcome::Stopped : RunOutcome::Failure;
}

std::string CUpdateRun::LastMessage() const {
    const std::lock_guard guard(m_resultMutex);
    return m_lastMessage;
}

InfoReply CUpdateRun::DeviceInfo() const {
    const std::lock_guard guard(m_resultMutex);
    return m_deviceInfo;
}

// --- Talking to the page: never after a stop ---------------------------------------------------

void CUpdateRun::SetStatus(std::string_view text) {
    if (!StopRequested()) {
        m_page.SetStatusText(text);
    }
}

void CUpdateRun::PostPercent(std::int32_t percent) {
    m_nPercent.store(percent, std::memory_order_release);
    if (!StopRequested()) {
        m_page.PostProgress();
    }
}

void CUpdateRun::Fail(std::string_view message) {
    {
        const std::lock_guard guard(m_resultMutex);
        m_lastMessage = message;
    }
    if (StopRequested()) {
        return;  // the stop made the step fail: no failure of its own
    }
    // The record is complete before the box waits for the user, whose time is not the run's.
    m_nEndTick.store(m_clock.TickCount(), std::memory_order_release);
    m_bFailed.store(true, std::memory_order_release);
    m_page.ShowMessage(message, MessageButtons::Ok);
}

bool CUpdateRun::Wait(std::uint32_t ms) {
    const std::uint32_t start = m_clock.TickCount();
    while (!StopRequested()) {
        const std::uint32_t elapsed = m_clock.TickCount() - start;
        if (elapsed >= ms) {
            return true;
        }
        m_clock.SleepFor(std::min(ms - elapsed, WAIT_SLICE_MS));
    }
    return false;
}

std::int32_t CUpdateRun::Open() {
    if (StopRequested()) {
        return 0;
    }
    const std::int32_t opened = m_link.OpenDevice();
    // A stop that came while the device was being opened closed nothing yet: close it here.
    if (opened != 0 && StopRequested()) {
        m_link.CloseDevice();
        return 0;
    }
    return opened;
}

// --- Progress hooks ----------------------------------------------------------------------------

void CUpdateRun::OnKilobyte() {
    PostPercent(ProgressPercent(m_progress));
    if (m_progress.unitsDone < m_progress.totalUnits) {
        ++m_progress.unitsDone;
    }
}

void CUpdateRun::OnSixteenKilobytes() {
    const std::uint32_t left = TakeOff(m_nTimeLeft.load(), 512);
    m_nTimeLeft.store(left, std::memory_order_release);
    SetStatus(ProgressStatusText(m_nPercent.load(), left));
}

// --- The run -----------------------------------------------------------------------------------

std::int32_t CUpdateRun::CheckAndWriteSections(std::array<std::uint32_t, 3>& lengths,
                                               std::array<std::uint32_t, 3>& checks) {
    m_progress = UpdateProgress{m_progress.basePercent, 0, 0};
    const ValidationResult validation = ValidatePackage(m_package, m_nTimeLeft.load());
    m_progress.totalUnits = validation.progress.totalUnits;
    m_nTimeLeft.store(validation.timeLeftMs, std::memory_order_release);
    if (!validation.ok()) {
        Fail(validation.message);
        return -1;
    }
    lengths = validation.lengths;
    checks = validation.checks;

    const PackageHeader header = m_package.Header();
    const PackageSection& sound = header.Sound;
    const PackageSection& map = header.Map;
    const std::int32_t programBlock =
        static_cast<std::int32_t>(BlockOf(header.Program.FlashAddress));
    const std::int32_t soundBlock =
        sound.Present() ? static_cast<std::int32_t>(BlockOf(sound.FlashAddress)) : 0xFFFF;
    const std::int32_t mapBlock =
        map.Present() ? static_cast<std::int32_t>(BlockOf(map.FlashAddress)) : 0xFFFF;
    if (WriteAddressRecord(m_link, programBlock, soundBlock, mapBlock) != 0) {
        Fail(MSG_ADDRESS_RECORD);
        return -1;
    }
    m_progress.basePercent = validation.progress.basePercent;

    // The map lies above the sound in flash and goes first; the device receives the table and
    // the prepared map, not the map bytes of the package.
    if (validation.mapArea && WriteArea(*validation.mapArea, m_package.MapWorkBuffer(),
                                        MSG_MAP_ERASE, MSG_MAP_WRITE) != 0) {
        return -1;
    }
    if (validation.soundArea &&
        WriteArea(*validation.soundArea, m_package.Image().subspan(sound.Offset), MSG_SOUND_ERASE,
                  MSG_SOUND_WRITE) != 0) {
        return -1;
    }
    PostPercent(100);
    return 0;
}

std::int32_t CUpdateRun::WriteArea(const AreaPlan& area, std::span<const std::uint8_t> bytes,
                                   std::string_view eraseFailed, std::string_view writeFailed) {
    m_nPercent.store(ProgressPercent(m_progress), std::memory_order_release);
    SetStatus(STATUS_ERASING);
    PostPercent(m_nPercent.load());
    if (EraseBlocks(m_link, area.firstBlock, area.blockCount) == 0) {
        Fail(eraseFailed);
        return -1;
    }
    m_nTimeLeft.store(TakeOff(m_nTimeLeft.load(), 34 * area.blockCount), std::memory_order_release);
    if (WritePages(m_link, bytes, area.firstPage, area.pageCount, this) == 0) {
        Fail(writeFailed);
        return -1;
    }
    return 0;
}

std::int32_t CUpdateRun::RunUpdate() {
    std::int32_t result = 1;
    std::array<std::uint32_t, 3> lengths{SECTION_ABSENT, SECTION_ABSENT, SECTION_ABSENT};
    std::array<std::uint32_t, 3> checks{SECTION_ABSENT, SECTION_ABSENT, SECTION_ABSENT};

    // Whatever ends the run, the link ends closed.
    const auto end = [this](std::int32_t value) {
        m_link.CloseDevice();
        return value;
    };

    Open();
    InfoReply info;
    const std::int32_t query = QueryDeviceInfo(m_link, m_package.VersionText(), m_page, &info);
    {
        const std::lock_guard guard(m_resultMutex);
        m_deviceInfo = info;
    }
    if (query == QUERY_DECLINED) {
        m_bDeclined.store(true);
        return end(0);
    }
    // From the reset on the device is being rewritten, and a machine that sleeps now leaves it
    // half written: no sleep until the run is over, on whichever path it ends.
    const std::unique_ptr<InhibitHold> hold =
        m_pInhibitor != nullptr ? m_pInhibitor->Hold(INHIBIT_WHY_UPDATE) : nullptr;
    // A stop asked for until now finds the device as it was; the link it closes may still let
    // one report through while it closes, and that must not be the reset.
    if (StopRequested()) {
        return end(0);
    }
    m_bResetSent.store(true, std::memory_order_release);
    const std::int32_t reset = ResetDevice(m_link);
    m_link.CloseDevice();
    if (reset == 0) {
        Fail(MSG_RESET);
        return end(0);
    }

    SetStatus(STATUS_WAITING_FOR_RESET);
    Wait(RUN_WAIT_AFTER_RESET_MS);
    bool reconnected = false;
    for (int attempt = 0; attempt < RUN_RECONNECT_ATTEMPTS && !StopRequested(); ++attempt) {
        reconnected = Open() != 0;
        Wait(RUN_RECONNECT_INTERVAL_MS);
        if (reconnected) {
            break;
        }
    }
    Wait(RUN_WAIT_AFTER_RECONNECT_MS);
    if (!reconnected || StopRequested()) {
        Fail(MSG_RECONNECT);
        return end(0);
    }

    if (CheckAndWriteSections(lengths, checks) != 0) {
        SetStatus(STATUS_TRY_AGAIN);
        return end(0);
    }

    // Each record is masked with words drawn right before it, from the millisecond tick.
    SeededRandom checkRandom(m_clock.TickCount());
    const RecordBytes checkRecord =
        CheckRecord::Make(lengths[1], checks[1], lengths[2], checks[2], checkRandom).Encode();
    if (EraseBlocks(m_link, CHECK_RECORD_BLOCK, 1) == 0) {
        Fail(MSG_CHECK_RECORD_ERASE);
        return end(0);
    }
    if (WritePages(m_link, checkRecord, CHECK_RECORD_BLOCK * 16, 1, this) == 0) {
        Fail(MSG_CHECK_RECORD_WRITE);
        return end(0);
    }

    const PackageHeader header = m_package.Header();
    SeededRandom headerRandom(m_clock.TickCount());
    const RecordBytes headerRecord =
        DeviceHeaderRecord::Make(lengths[0], checks[0], header.Sound.FlashAddress,
                                 header.Map.FlashAddress, headerRandom)
            .Encode();
    if (EraseBlocks(m_link, HEADER_RECORD_BLOCK, 1) == 0) {
        Fail(MSG_HEADER_RECORD_ERASE);
        return end(0);
    }
    if (WritePages(m_link, headerRecord, HEADER_RECORD_BLOCK * 16, 1, this) == 0) {
        Fail(MSG_HEADER_RECORD_WRITE);
        return end(0);
    }

    if (!m_bContinuousMode && FinishUpdate(m_link) != 0) {
        Fail(MSG_FINISH);
        result = 0;
    }
    // A stop during the last steps leaves a device that did not hear all of it.
    if (StopRequested()) {
        result = 0;
    }
    return end(result);
}

std::int32_t CUpdateRun::UpdateThreadProc() {
    m_progress = UpdateProgress{};
    const std::int32_t result = RunUpdate();
    if (m_bDeclined.load()) {
        m_bSuccess.store(0, std::memory_order_release);
    } else if (result != 0) {
        m_bSuccess.store(1, std::memory_order_release);
        SetStatus(STATUS_SUCCESS);
        if (!StopRequested()) {
            m_page.PlaySuccessSound();
        }
    } else {
        m_bSuccess.store(0, std::memory_order_release);
        SetStatus(STATUS_FAILURE);
    }
    if (!Failed()) {
        m_nEndTick.store(m_clock.TickCount(), std::memory_order_release);
    }
    if (!StopRequested()) {
        m_page.ArmRunEndTimer();
    }
    m_bFinished.store(1, std::memory_order_release);
    return 1;
}

}  // namespace tarv
