// The application object: owns the loaded package and the continuous-mode flag, and runs the
// pages one after another.
//
// Read this header first. `Run` is the start routine: it loads the package (a refusal shows its
// message and ends with status 1 before any page), then shows the welcome page, the start page
// and a progress page for each device, in a loop at the top level, so that continuous mode over
// any number of devices does not grow the stack. Ending any page by Cancel, Quit, Esc or the
// close box ends the program; so does SIGINT, SIGTERM or SIGHUP (`OnEndSignal`), which stops a
// running run without asking.
#pragma once

#include <QPixmap>
#include <QWidget>
#include <string>

#include "package/package.h"
#include "rig/device_rig.h"
#include "update/poll_state.h"
#include "update/run_log.h"

namespace tarv {

class CUpdateApp {
  public:
    // `rig` holds the device link and the clock of the runs; it must outlive the application.
    CUpdateApp(DeviceRig& rig, LoadOptions loadOptions);

    // Returns the exit status: 0 at a normal end; 1 after a package failure, when the user
    // declined to update a device that already has the package's versions, when the last run
    // was stopped, or when a run's line could not be written to the log; 128 + N after
    // signal N.
    int Run();

    // The process was asked to end by `signal`: stops the run (its line still goes to the log),
    // closes every box and page, and Run returns 128 + signal. The first signal counts.
    void OnEndSignal(int signal);
    bool EndingBySignal() const { return m_nEndSignal != 0; }

    // A run's line did not go out: says so (in a box on `page`, or on stderr once the process
    // is ending by a signal, when nobody is there to answer) and makes the exit status 1.
    void ReportLogFailure(QWidget* page, const std::string& error);

    // Frees the package's buffers; safe to call any number of times.
    void ReleasePackageBuffers() { m_package.ReleasePackageBuffers(); }

    CHidLink& Link() { return m_rig.Link(); }
    Clock& RunClock() { return m_rig.RunClock(); }
    DeviceRig& Rig() { return m_rig; }
    const QPixmap& SidePicture() const { return m_sidePicture; }

    CUpdatePackage m_package;
    bool m_bContinuousMode = false;  // set on the start page, read by every progress page
    CRunLog* m_pRunLog = nullptr;    // --log: every run's line goes here; null: no log
    CDevicePollState m_pollState;    // shared by every progress page of the program's run

  private:
    // The exit status for `status` as things stand: 128 + N once signal N has come.
    int ExitStatus(int status) const;

    DeviceRig& m_rig;
    LoadOptions m_loadOptions;
    QPixmap m_sidePicture;
    int m_nEndSignal = 0;
    bool m_bLogFailed = false;
};

// Exit status of the program after a package failure, a declined or stopped run, or a log line
// that could not be written.
inline constexpr int EXIT_FATAL = 1;
// Exit status after signal N: EXIT_SIGNAL_BASE + N, as a shell reports a process it killed.
inline constexpr int EXIT_SIGNAL_BASE = 128;

}  // namespace tarv
