// Ctrl-C, SIGTERM and SIGHUP (a closed terminal, a dropped SSH session) as something the main
// thread can wait for, and a closed output that never ends the program.
//
// The handler only records the signal and writes one byte into a pipe, both safe in a signal
// handler; the main thread polls the pipe next to its other descriptors and does the stopping
// itself: the run is stopped, its log line written, the summary printed, and the program ends
// with 128 + the signal's number.
#pragma once

#include <csignal>
#include <cstdint>

#include "base/clock.h"

namespace tarv::cli {

// Catches SIGINT, SIGTERM and SIGHUP for the rest of the process and ignores SIGPIPE, so that a
// reader that goes away only makes writes fail. First thing in main, before any file is read:
// a signal that comes while the package loads is kept for the first look.
void InstallStopSignals();

// The process's stop signals, as installed by InstallStopSignals.
class CStopSignal {
  public:
    // True once one of the signals has come.
    bool Raised() const;
    // The first signal that came, 0 before any.
    int Number() const;
    // Readable once a signal has come; for poll(2). -1 before InstallStopSignals.
    int Fd() const;

    // Sleeps `ms` on `clock` in short slices, so that a signal ends the sleep within a slice.
    // Returns false when the signal came (at once if it had come before).
    bool SleepFor(Clock& clock, std::uint32_t ms) const;
};

// Blocks the stop signals on the calling thread while it lives. A thread started meanwhile
// inherits the mask, so the signals only ever reach the main thread, and no worker's read or
// sleep is cut short by one.
class CBlockStopSignals {
  public:
    CBlockStopSignals();
    ~CBlockStopSignals();
    CBlockStopSignals(const CBlockStopSignals&) = delete;
    CBlockStopSignals& operator=(const CBlockStopSignals&) = delete;

  private:
    sigset_t m_previous{};
};

// The exit status of a program ended by `signal`.
constexpr int ExitStatusForSignal(int signal) {
    return 128 + signal;
}

}  // namespace tarv::cli
