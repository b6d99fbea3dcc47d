// The three pages of the wizard. Each is built from its template (dialog_templates.h) and finds
// its controls by id.
#pragma once

#include <QDialog>
#include <QEvent>
#include <QTimer>
#include <chrono>
#include <memory>
#include <string>

#include "base/page.h"
#include "update/update_run.h"

class QCheckBox;
class QLabel;
class QMessageBox;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QSoundEffect;

namespace tarv {

class CUpdateApp;

// The welcome page: the release notes in control 1000; Next goes on, Cancel ends the program.
class CWelcomeDlg final : public QDialog {
    Q_OBJECT
  public:
    CWelcomeDlg(CUpdateApp& app, const std::string& welcomeText);

    QPlainTextEdit* m_editNotes = nullptr;
};

// The start page: the continuous-mode check box, and Start once a device is there.
class CStartDlg final : public QDialog {
    Q_OBJECT
  public:
    explicit CStartDlg(CUpdateApp& app);

    QCheckBox* m_btnContinuous = nullptr;
    bool m_bContinuous = false;

  private:
    void OnCheckContinuous();
    void OnOK();

    CUpdateApp& m_app;
};

// Posted to the progress page after each change of the percentage; it carries no value.
inline constexpr QEvent::Type WM_UPDATE_PROGRESS = static_cast<QEvent::Type>(QEvent::User + 1001);
inline constexpr int IDT_RUN_END = 1;
inline constexpr int IDT_DEVICE_POLL = 2;
inline constexpr int RUN_END_PERIOD_MS = 500;

// The progress page: one run of one device, its status line and bar, and in continuous mode the
// wait for the next device. It is the run's page: the run calls it from its worker thread, and it
// hands everything to the user-interface thread.
class CProgressDlg final : public QDialog, public ProgressPage {
    Q_OBJECT
  public:
    // Results of the page's modal run besides Quit (QDialog::Rejected).
    static constexpr int RESULT_NEXT_DEVICE = QDialog::Accepted;
    static constexpr int RESULT_DECLINED = 3;

    explicit CProgressDlg(CUpdateApp& app);
    ~CProgressDlg() override;

    CUpdateRun& Run() { return *m_run; }
    int SoundRequests() const { return m_nSoundRequests; }

    // The Quit action (also Esc and the close box). Before the reset and after the run it acts
    // at once; in between it asks first, since a stopped run leaves the device to be updated
    // again (No, the default, leaves the run going). A stop closes the page once the worker is
    // done, keeping the window alive meanwhile.
    void reject() override;
    // Enter never closes the page.
    void accept() override {}
    // The process was asked to end: stops the run without asking and closes the page once the
    // worker is done (at once when the run is over).
    void StopForSignal();

    QLabel* m_staticNotice = nullptr;
    QPushButton* m_btnOtherDevice = nullptr;
    QLabel* m_staticStatus = nullptr;
    QPushButton* m_btnQuit = nullptr;
    QProgressBar* m_progress = nullptr;

    // ProgressPage, called on the run's worker.
    void SetStatusText(std::string_view text) override;
    void PostProgress() override;
    MessageAnswer ShowMessage(std::string_view text, MessageButtons buttons) override;
    void ArmRunEndTimer() override;
    void PlaySuccessSound() override;

  protected:
    bool event(QEvent* event) override;

  private:
    void OnTimer(int id);
    void OnOtherDevice();
    void StopAndClose();
    void FinishClosing();
    // Writes the run's line once: when it failed (before its box shows), or else when it ended.
    void LogRun();

    CUpdateApp& m_app;
    std::unique_ptr<CUpdateRun> m_run;
    // For the run's line in the log: the device, when the run began.
    std::string m_devicePath;
    std::chrono::system_clock::time_point m_startedAt;
    std::uint32_t m_nStartTick = 0;
    bool m_bLogged = false;
    QTimer m_runEndTimer;
    QTimer m_pollTimer;
    QTimer m_closeTimer;
    bool m_bClosing = false;
    QMessageBox* m_pWorkerBox = nullptr;     // the run's message box while it is open
    QMessageBox* m_pStopQuestion = nullptr;  // the question before a stop while it is open
    QSoundEffect* m_pSound = nullptr;
    int m_nSoundRequests = 0;
};

}  // namespace tarv
