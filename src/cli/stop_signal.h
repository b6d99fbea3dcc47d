// Ctrl-C and SIGTERM as something the main thread can wait for.
//
// The handler only raises a flag and writes one byte into a pipe, both safe in a signal handler;
// the main thread polls the pipe next to its other descriptors and does the stopping itself.
#pragma once

#include <csignal>
#include <cstdint>

#include "base/clock.h"

namespace tarv::cli {

// Catches SIGINT and SIGTERM while it lives and restores the handlers before it. One at a time.
class CStopSignal {
  public:
    CStopSignal();
    ~CStopSignal();
    CStopSignal(const CStopSignal&) = delete;
    CStopSignal& operator=(const CStopSignal&) = delete;

    // True once either signal has come.
    bool Raised() const;
    // Readable once either signal has come; for poll(2).
    int Fd() const { return m_nReadFd; }

    // Sleeps `ms` on `clock` in short slices, so that a signal ends the sleep within a slice.
    // Returns false when the signal came (at once if it had come before).
    bool SleepFor(Clock& clock, std::uint32_t ms) const;

  private:
    int m_nReadFd = -1;
    int m_nWriteFd = -1;
    struct sigaction m_previousInt {};
    struct sigaction m_previousTerm {};
};

// Blocks SIGINT and SIGTERM on the calling thread while it lives. A thread started meanwhile
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

}  // namespace tarv::cli
