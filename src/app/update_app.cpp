#include "app/update_app.h"

#include <QApplication>
#include <iostream>

#include "app/dialog_builder.h"
#include "app/message_box.h"
#include "app/pages.h"
#include "update/package_gate.h"

namespace tarv {

CUpdateApp::CUpdateApp(DeviceRig& rig, LoadOptions loadOptions)
    : m_rig(rig),
      m_loadOptions(std::move(loadOptions)),
      m_sidePicture(QStringLiteral(":/side_picture.bmp")) {}

int CUpdateApp::ExitStatus(int status) const {
    if (m_nEndSignal != 0) {
        return EXIT_SIGNAL_BASE + m_nEndSignal;
    }
    return m_bLogFailed ? EXIT_FATAL : status;
}

int CUpdateApp::Run() {
    // The package is checked against its published digest, loaded and checked as a run would
    // check it before any page shows; a refusal ends the program. A package that fails the
    // checks would fail on every device, after its reset. A signal that comes meanwhile waits
    // for the first modal loop, which it ends at once.
    const PackageVerdict verdict = OpenUpdatePackage(m_package, m_loadOptions);
    if (!verdict.ok()) {
        ShowStandardMessage(nullptr, verdict.message);
        ReleasePackageBuffers();
        return ExitStatus(EXIT_FATAL);
    }

    int status = 0;
    {
        CWelcomeDlg welcome(*this, verdict.welcomeText);
        CentreOnScreen(welcome);
        if (EndingBySignal() || welcome.exec() != QDialog::Accepted) {
            ReleasePackageBuffers();
            return ExitStatus(status);
        }
    }
    {
        CStartDlg start(*this);
        CentreOnScreen(start);
        if (EndingBySignal() || start.exec() != QDialog::Accepted) {
            ReleasePackageBuffers();
            return ExitStatus(status);
        }
    }
    // One progress page per device; a page that ends otherwise than for the next device ends
    // the program. The last page's run decides the status.
    while (!EndingBySignal()) {
        CProgressDlg page(*this);
        CentreOnScreen(page);
        const int result = page.exec();
        const RunOutcome run = page.Run().Outcome();
        status = result == CProgressDlg::RESULT_DECLINED || run == RunOutcome::Declined ||
                         run == RunOutcome::Stopped
                     ? EXIT_FATAL
                     : 0;
        if (result != CProgressDlg::RESULT_NEXT_DEVICE) {
            break;
        }
    }
    ReleasePackageBuffers();
    return ExitStatus(status);
}

void CUpdateApp::OnEndSignal(int signal) {
    if (m_nEndSignal != 0) {
        return;
    }
    m_nEndSignal = signal;
    // The progress page first, so that it knows it is stopping before its boxes close; then
    // every box (each answered as by Esc) and every other page. Each modal loop ends as soon as
    // the one inside it has.
    const QWidgetList windows = QApplication::topLevelWidgets();
    for (QWidget* window : windows) {
        if (auto* page = qobject_cast<CProgressDlg*>(window)) {
            page->StopForSignal();
        }
    }
    for (QWidget* window : windows) {
        auto* dialog = qobject_cast<QDialog*>(window);
        if (dialog != nullptr && dialog->isVisible() &&
            qobject_cast<CProgressDlg*>(window) == nullptr) {
            dialog->reject();
        }
    }
}

void CUpdateApp::ReportLogFailure(QWidget* page, const std::string& error) {
    m_bLogFailed = true;
    const std::string text = "This run is not in the log: " + error;
    if (EndingBySignal()) {
        std::cerr << GetModuleDisplayName() << ": " << text << '\n';
        return;
    }
    ShowStandardMessage(page, text);
}

}  // namespace tarv
