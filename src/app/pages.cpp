#include "app/pages.h"

#include <QApplication>
#include <QAudioDevice>
#include <QCheckBox>
#include <QLabel>
#include <QMediaDevices>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSoundEffect>
#include <QThread>
#include <QUrl>
#include <algorithm>

#include "app/dialog_builder.h"
#include "app/message_box.h"
#include "app/update_app.h"
#include "package/package.h"
#include "update/messages.h"
#include "update/permission_hint.h"

namespace tarv {
namespace {

QString Text(std::string_view text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

// How often a page that is closing looks whether its worker is done.
constexpr int CLOSE_POLL_MS = 20;

// "No device, ...", and on a second line what to do when the device is there but may not be
// opened by this user.
void ShowNoDevice(QWidget* page, const CHidLink& link) {
    std::string text(MSG_NO_DEVICE);
    if (const std::string hint = PermissionHint(link.DeniedPaths()); !hint.empty()) {
        text += "\n" + hint;
    }
    ShowPageMessage(page, text);
}

}  // namespace

// --- Welcome ------------------------------------------------------------------------------------

CWelcomeDlg::CWelcomeDlg(CUpdateApp& app, const std::string& welcomeText) {
    BuildDialog(*this, WelcomeTemplate(), app.SidePicture());
    m_editNotes = FindControl<QPlainTextEdit>(*this, IDC_NOTES);
    // The notes end their lines with CR LF; the box breaks lines at LF.
    QString notes = QString::fromStdString(welcomeText);
    notes.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    m_editNotes->setPlainText(notes);
    connect(FindControl<QPushButton>(*this, IDOK), &QPushButton::clicked, this, &QDialog::accept);
    connect(FindControl<QPushButton>(*this, IDCANCEL), &QPushButton::clicked, this,
            &QDialog::reject);
    FindControl<QPushButton>(*this, IDOK)->setFocus();
}

// --- Start --------------------------------------------------------------------------------------

CStartDlg::CStartDlg(CUpdateApp& app) : m_app(app) {
    BuildDialog(*this, StartTemplate(), app.SidePicture());
    m_btnContinuous = FindControl<QCheckBox>(*this, IDC_CONTINUOUS);
    connect(m_btnContinuous, &QCheckBox::clicked, this, &CStartDlg::OnCheckContinuous);
    connect(FindControl<QPushButton>(*this, IDOK), &QPushButton::clicked, this, &CStartDlg::OnOK);
    connect(FindControl<QPushButton>(*this, IDCANCEL), &QPushButton::clicked, this,
            &QDialog::reject);
    FindControl<QPushButton>(*this, IDOK)->setFocus();
}

void CStartDlg::OnCheckContinuous() {
    m_bContinuous = m_btnContinuous->isChecked();
    m_app.m_bContinuousMode = m_bContinuous;
}

void CStartDlg::OnOK() {
    if (m_app.Link().OpenDevice() == 0) {
        ShowNoDevice(this, m_app.Link());
        return;
    }
    // The link discovery opened stays open; the run opens it afresh itself.
    QDialog::accept();
}

// --- Progress -----------------------------------------------------------------------------------

CProgressDlg::CProgressDlg(CUpdateApp& app) : m_app(app) {
    BuildDialog(*this, ProgressTemplate(), app.SidePicture());
    m_staticNotice = FindControl<QLabel>(*this, IDC_NOTICE);
    m_btnOtherDevice = FindControl<QPushButton>(*this, IDC_OTHER_DEVICE);
    m_staticStatus = FindControl<QLabel>(*this, IDC_STATUS);
    m_btnQuit = FindControl<QPushButton>(*this, IDCANCEL);
    m_progress = FindControl<QProgressBar>(*this, IDC_PROGRESS);

    connect(m_btnQuit, &QPushButton::clicked, this, &CProgressDlg::reject);
    connect(m_btnOtherDevice, &QPushButton::clicked, this, &CProgressDlg::OnOtherDevice);
    m_runEndTimer.setInterval(RUN_END_PERIOD_MS);
    m_pollTimer.setInterval(static_cast<int>(POLL_INTERVAL_MS));
    m_closeTimer.setInterval(CLOSE_POLL_MS);
    connect(&m_runEndTimer, &QTimer::timeout, this, [this] { OnTimer(IDT_RUN_END); });
    connect(&m_pollTimer, &QTimer::timeout, this, [this] { OnTimer(IDT_DEVICE_POLL); });
    connect(&m_closeTimer, &QTimer::timeout, this, &CProgressDlg::FinishClosing);

    m_progress->setRange(0, 100);
    m_progress->setValue(0);
    if (app.m_bContinuousMode) {
        m_btnOtherDevice->setEnabled(false);  // visible and greyed during the run
    } else {
        m_btnOtherDevice->hide();  // never shown on this page
    }
    // Quit stays usable during the whole run, by the mouse and by Esc, but takes no keyboard
    // focus until the run is over: a stray Space must not stop it.
    m_btnQuit->setFocusPolicy(Qt::NoFocus);

    // Discovery left the device open: that is the one the run is for.
    m_devicePath = app.Link().OpenPath();
    m_startedAt = std::chrono::system_clock::now();
    m_nStartTick = app.RunClock().TickCount();
    m_run = std::make_unique<CUpdateRun>(app.Link(), app.m_package, *this, app.RunClock(),
                                         app.m_bContinuousMode);
    m_run->SetInhibitor(&app.Rig().Inhibitor());
    m_run->Start();
}

CProgressDlg::~CProgressDlg() {
    // The page closes only once the worker is done. A page that goes without having been closed
    // stops its run first, and keeps handling the worker's calls until the worker is done.
    if (m_run->m_bFinished.load(std::memory_order_acquire) == 0) {
        m_bClosing = true;
        m_run->RequestStop();
        while (m_run->m_bFinished.load(std::memory_order_acquire) == 0) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, CLOSE_POLL_MS);
        }
    }
    LogRun();  // a run ended by Quit has its line too
    m_run.reset();
}

void CProgressDlg::LogRun() {
    if (m_bLogged || m_app.m_pRunLog == nullptr) {
        return;
    }
    m_bLogged = true;
    // Up to the failure or the end, not to the moment the user dismissed a box.
    const RunRecord record = MakeRunRecord(*m_run, m_app.m_package, m_devicePath, m_startedAt,
                                           m_run->EndTick() - m_nStartTick);
    if (std::string error; !m_app.m_pRunLog->Append(record, error)) {
        m_app.ReportLogFailure(isVisible() ? this : nullptr, error);
    }
}

bool CProgressDlg::event(QEvent* event) {
    if (event->type() == WM_UPDATE_PROGRESS) {
        // The message carries nothing: the bar shows the percentage as it is now.
        m_progress->setValue(m_run->m_nPercent.load(std::memory_order_acquire));
        return true;
    }
    return QDialog::event(event);
}

void CProgressDlg::SetStatusText(std::string_view text) {
    const QString value = Text(text);
    // A text that was on its way when the run was stopped does not cover "Update stopped".
    const auto show = [this, value] {
        if (!m_bClosing) {
            m_staticStatus->setText(value);
        }
    };
    if (QThread::currentThread() == thread()) {
        show();
        return;
    }
    // Returns once the status line shows the text.
    QMetaObject::invokeMethod(this, show, Qt::BlockingQueuedConnection);
}

void CProgressDlg::PostProgress() {
    QCoreApplication::postEvent(this, new QEvent(WM_UPDATE_PROGRESS));
}

MessageAnswer CProgressDlg::ShowMessage(std::string_view text, MessageButtons buttons) {
    const QString value = Text(text);
    MessageAnswer answer = buttons == MessageButtons::YesNo ? MessageAnswer::No : MessageAnswer::Ok;
    const auto show = [this, value, buttons, &answer] {
        // A failure's line goes to the log now, before its box waits for the user.
        if (m_run->Failed()) {
            LogRun();
        }
        if (m_bClosing) {
            return;  // the page is going: nobody is there to answer
        }
        const bool question = buttons == MessageButtons::YesNo;
        QMessageBox box(QMessageBox::Warning, QString::fromStdString(GetModuleDisplayName()), value,
                        question ? QMessageBox::Yes | QMessageBox::No : QMessageBox::Ok, this);
        box.setObjectName(MESSAGE_BOX_NAME);
        m_pWorkerBox = &box;
        const int pressed = box.exec();
        m_pWorkerBox = nullptr;
        if (question) {
            answer = pressed == QMessageBox::Yes ? MessageAnswer::Yes : MessageAnswer::No;
        }
    };
    if (QThread::currentThread() == thread()) {
        show();
    } else {
        QMetaObject::invokeMethod(this, show, Qt::BlockingQueuedConnection);
    }
    return answer;
}

void CProgressDlg::ArmRunEndTimer() {
    QMetaObject::invokeMethod(
        this, [this] { m_runEndTimer.start(); }, Qt::QueuedConnection);
}

void CProgressDlg::PlaySuccessSound() {
    QMetaObject::invokeMethod(
        this,
        [this] {
            ++m_nSoundRequests;
            // Without an audio device there is nothing to play to: skip it.
            if (QMediaDevices::audioOutputs().isEmpty()) {
                return;
            }
            if (m_pSound == nullptr) {
                m_pSound = new QSoundEffect(this);
                m_pSound->setSource(QUrl(QStringLiteral("qrc:/success.wav")));
            }
            m_pSound->play();
        },
        Qt::QueuedConnection);
}

void CProgressDlg::OnTimer(int id) {
    if (m_bClosing) {
        return;  // stopping: FinishClosing ends the page
    }
    if (id == IDT_RUN_END) {
        // The worker arms the timer just before it sets the flag. While the operator is asked
        // whether to stop, the end of the run waits for the answer.
        if (m_run->m_bFinished.load(std::memory_order_acquire) == 0 || m_pStopQuestion != nullptr) {
            return;
        }
        m_runEndTimer.stop();
        LogRun();
        m_app.Rig().OnRunEnded();
        if (m_run->Outcome() == RunOutcome::Declined) {
            done(RESULT_DECLINED);
            return;
        }
        m_btnQuit->setEnabled(true);
        m_btnQuit->setFocusPolicy(Qt::StrongFocus);
        if (!m_app.m_bContinuousMode) {
            m_btnQuit->setFocus();
            return;
        }
        // The notice's place is one line high, too little for its text: it keeps its place and
        // width and grows down into the free space above the buttons, so all of it shows.
        m_staticNotice->setText(Text(NOTICE_NEXT_DEVICE));
        m_staticNotice->resize(m_staticNotice->width(),
                               std::max(m_staticNotice->height(),
                                        m_staticNotice->heightForWidth(m_staticNotice->width())));
        m_btnOtherDevice->setEnabled(true);
        m_btnOtherDevice->setFocus();
        m_pollTimer.start();
        return;
    }
    if (id == IDT_DEVICE_POLL) {
        m_app.Rig().OnPoll();
        const bool found = m_app.Link().OpenDevice() != 0;
        const bool succeeded = m_run->m_bSuccess.load(std::memory_order_acquire) != 0;
        switch (m_app.m_pollState.OnPoll(found, succeeded)) {
            case PollAction::CloseDevice:
                m_app.Link().CloseDevice();
                break;
            case PollAction::KeepWaiting:
                break;
            case PollAction::StartRun:
                m_pollTimer.stop();
                done(RESULT_NEXT_DEVICE);
                break;
        }
    }
}

void CProgressDlg::OnOtherDevice() {
    if (m_app.Link().OpenDevice() == 0) {
        ShowNoDevice(this, m_app.Link());
        return;
    }
    m_pollTimer.stop();
    done(RESULT_NEXT_DEVICE);
}

void CProgressDlg::reject() {
    if (m_bClosing || m_pStopQuestion != nullptr) {
        return;
    }
    const auto finished = [this] {
        return m_run->m_bFinished.load(std::memory_order_acquire) != 0;
    };
    if (finished()) {
        m_pollTimer.stop();
        QDialog::reject();
        return;
    }
    // From the reset on a stop leaves the device without valid data: ask first, with No as the
    // answer to Enter and Esc. A box of the run's own (the version question before the reset, or
    // a failure's message) is answered by the stop without a question, as it ever was.
    if (m_pWorkerBox == nullptr && m_run->m_bResetSent.load(std::memory_order_acquire)) {
        QMessageBox box(QMessageBox::Warning, QString::fromStdString(GetModuleDisplayName()),
                        Text(MSG_STOP_QUESTION), QMessageBox::Yes | QMessageBox::No, this);
        box.setObjectName(MESSAGE_BOX_NAME);
        box.setDefaultButton(QMessageBox::No);
        box.setEscapeButton(QMessageBox::No);
        m_pStopQuestion = &box;
        const int pressed = box.exec();
        m_pStopQuestion = nullptr;
        // No leaves the run alone; a signal that came meanwhile has taken over the stop.
        if (m_bClosing || pressed != QMessageBox::Yes) {
            return;
        }
        if (finished()) {  // it ended while the operator was asked
            m_pollTimer.stop();
            QDialog::reject();
            return;
        }
    }
    StopAndClose();
}

void CProgressDlg::StopForSignal() {
    if (m_bClosing) {
        return;  // already stopping
    }
    if (m_pStopQuestion != nullptr) {
        m_pStopQuestion->reject();  // nobody is to be asked any more
    }
    if (m_run->m_bFinished.load(std::memory_order_acquire) != 0) {
        m_bClosing = true;
        m_runEndTimer.stop();
        m_pollTimer.stop();
        QDialog::reject();
        return;
    }
    StopAndClose();
}

void CProgressDlg::StopAndClose() {
    // Ask the run to stop, answer any box it has open, and close once the worker is done; the
    // link's deadlines bound the wait, and the window keeps painting meanwhile.
    m_bClosing = true;
    m_btnQuit->setEnabled(false);
    m_btnOtherDevice->setEnabled(false);
    m_staticStatus->setText(Text(STATUS_STOPPED));
    m_run->RequestStop();
    if (m_pWorkerBox != nullptr) {
        m_pWorkerBox->reject();
    }
    m_closeTimer.start();
}

void CProgressDlg::FinishClosing() {
    if (m_run->m_bFinished.load(std::memory_order_acquire) == 0) {
        return;
    }
    m_closeTimer.stop();
    m_runEndTimer.stop();
    m_pollTimer.stop();
    m_run->Join();
    LogRun();
    QDialog::reject();
}

}  // namespace tarv
