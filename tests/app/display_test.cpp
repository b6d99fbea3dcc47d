// The demo from start to end on whatever display the process has: every page and box must be
// shown and exposed by the display server, and is driven with the mouse as the user would.
// tests/app/on-display.sh runs this on a private X server and on a private Wayland compositor;
// in the normal suite it runs offscreen.
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QWindow>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app_harness.h"
#include "rig/sim_rig.h"
#include "update/messages.h"

namespace tarv {
namespace {

using testing::BoxAnswerer;
using testing::LoadedPackage;
using testing::ShownPage;

// The run's bound: on the virtual clock the demo takes about a second, mostly the page's
// run-end timer.
constexpr qint64 DEMO_LIMIT_MS = 30000;
constexpr int EXPOSE_LIMIT_MS = 5000;

// `name` once the display server has exposed `window` at the size the page asked for, otherwise
// `name` and what is wrong, so that the sequence of steps shows it.
std::string OnDisplay(QWidget& window, const std::string& name) {
    if (!QTest::qWaitForWindowExposed(&window, EXPOSE_LIMIT_MS)) {
        return name + " (never exposed)";
    }
    const QWindow* handle = window.windowHandle();
    if (handle == nullptr || handle->screen() == nullptr) {
        return name + " (no native window on a screen)";
    }
    if (handle->size() != window.size()) {
        return name + " (window " + std::to_string(handle->width()) + "x" +
               std::to_string(handle->height()) + ", page " + std::to_string(window.width()) + "x" +
               std::to_string(window.height()) + ")";
    }
    return name;
}

void ClickControl(QWidget& page, int id) {
    QPushButton* button = FindControl<QPushButton>(page, id);
    ASSERT_NE(button, nullptr) << "control " << id;
    ASSERT_TRUE(button->isVisible() && button->isEnabled()) << "control " << id;
    QTest::mouseClick(button, Qt::LeftButton);
}

TEST(RealDisplay, TheDemoRunsThroughEveryPageToSuccessAndQuits) {
    const std::string platform = QGuiApplication::platformName().toStdString();
    if (const QByteArray expected = qgetenv("TARV_EXPECT_PLATFORM"); !expected.isEmpty()) {
        // A run meant for one display must not quietly fall back to another platform.
        ASSERT_EQ(platform, expected.toStdString());
    }
    ASSERT_NE(QGuiApplication::primaryScreen(), nullptr) << platform;

    // The demo's rig: the device is plugged in only once the user has been told there is none.
    SimOptions options;
    options.instant = true;
    options.startUnplugged = true;
    std::string error;
    const std::unique_ptr<DeviceRig> rig = MakeSimRig(options, error);
    ASSERT_NE(rig, nullptr) << error;
    const LoadedPackage package(testing::TypicalPackage(), "Demo notes\r\nSecond line\r\n");
    CUpdateApp app(*rig, package.Options(rig->RunClock()));

    std::vector<std::string> steps;
    BoxAnswerer answerer;
    answerer.onBox = [&](QMessageBox& box) {
        steps.push_back(OnDisplay(box, "box: " + box.text().toStdString()));
        return true;
    };

    QString notes;
    QString finalStatus;
    int finalPercent = -1;
    bool plugged = false;
    bool timedOut = false;
    QElapsedTimer elapsed;
    elapsed.start();
    // The pages run in nested modal loops, so the driver acts on each tick and returns.
    QTimer driver;
    QObject::connect(&driver, &QTimer::timeout, [&] {
        if (elapsed.elapsed() > DEMO_LIMIT_MS) {
            // Close whatever is open, so that the start routine returns and the test reports.
            timedOut = true;
            for (QWidget* widget : QApplication::topLevelWidgets()) {
                if (auto* dialog = qobject_cast<QDialog*>(widget); dialog && dialog->isVisible()) {
                    dialog->reject();
                }
            }
            return;
        }
        if (CWelcomeDlg* welcome = ShownPage<CWelcomeDlg>()) {
            if (!welcome->property("seen").toBool()) {
                welcome->setProperty("seen", true);
                steps.push_back(OnDisplay(*welcome, "welcome"));
                notes = welcome->m_editNotes->toPlainText();
                ClickControl(*welcome, IDOK);
            }
        } else if (CStartDlg* start = ShownPage<CStartDlg>()) {
            if (!start->property("seen").toBool()) {
                start->setProperty("seen", true);
                steps.push_back(OnDisplay(*start, "start"));
                // No device yet: the page's box opens over it, and the answerer takes it.
                ClickControl(*start, IDOK);
                rig->Attach();
                plugged = true;
                ClickControl(*start, IDOK);
            }
        } else if (CProgressDlg* page = ShownPage<CProgressDlg>()) {
            if (!page->property("seen").toBool()) {
                page->setProperty("seen", true);
                steps.push_back(OnDisplay(*page, "progress"));
            }
            if (page->Run().m_bFinished.load() != 0 && page->SoundRequests() > 0 &&
                page->m_btnQuit->isEnabled() && !page->property("quit").toBool()) {
                page->setProperty("quit", true);
                finalStatus = page->m_staticStatus->text();
                finalPercent = page->m_progress->value();
                steps.push_back("quit");
                ClickControl(*page, IDCANCEL);
            }
        }
    });
    driver.start(10);
    const int status = app.Run();
    driver.stop();

    ASSERT_FALSE(timedOut) << "on " << platform
                           << " the demo got only this far: " << ::testing::PrintToString(steps);
    EXPECT_EQ(status, 0);
    const std::vector<std::string> expected = {
        "welcome", "start", "box: " + std::string(MSG_NO_DEVICE), "progress", "quit"};
    EXPECT_EQ(steps, expected) << "on " << platform;
    EXPECT_TRUE(plugged);
    EXPECT_TRUE(notes.contains("Demo notes\nSecond line\n")) << notes.toStdString();
    EXPECT_EQ(finalStatus.toStdString(), STATUS_SUCCESS);
    EXPECT_GT(finalPercent, 0);
    EXPECT_EQ(rig->Finish(), std::vector<std::string>{}) << "the devices saw a correct host";
    EXPECT_EQ(ShownPage<QDialog>(), nullptr) << "every page is gone once the loop has ended";
}

}  // namespace
}  // namespace tarv
