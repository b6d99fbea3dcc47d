#include <QCheckBox>
#include <QElapsedTimer>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <fstream>
#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

#include "app_harness.h"
#include "update/messages.h"
#include "update/permission_hint.h"
#include "update/run_log.h"

namespace tarv {
namespace {

using testing::BoxAnswerer;
using testing::Click;
using testing::LoadedPackage;
using testing::ShownPage;
using testing::TestRig;
using testing::WaitFor;

// The lines of a run log, each parsed.
std::vector<nlohmann::json> ReadLog(const std::string& path) {
    std::vector<nlohmann::json> lines;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(nlohmann::json::parse(line));
    }
    return lines;
}

// --- Geometry ----------------------------------------------------------------------------------

TEST(DialogUnits, ConvertAsTheDialogManagerDoes) {
    const struct {
        int x, y, cx, cy;
        DialogBaseUnits units;
        PixelRect pixels;
    } cases[] = {
        {144, 167, 50, 14, {7, 14}, {252, 292, 88, 25}},  // halves round up
        {0, 0, 267, 191, {7, 14}, {0, 0, 467, 334}},
        {87, 22, 171, 124, {8, 16}, {174, 44, 342, 248}},
        {1, 1, 1, 1, {6, 13}, {2, 2, 2, 2}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(DialogUnitsToPixels(c.x, c.y, c.cx, c.cy, c.units), c.pixels)
            << c.x << "," << c.y;
    }
}

TEST(DialogGeometry, EveryControlSitsWhereItsDialogUnitsSay) {
    const QPixmap picture(136, 250);
    const DialogBaseUnits units = BaseUnitsOf(DialogFont());
    ASSERT_GT(units.x, 0);
    for (const DialogTemplate* dialog :
         {&WelcomeTemplate(), &StartTemplate(), &ProgressTemplate()}) {
        QDialog page;
        BuildDialog(page, *dialog, picture);
        EXPECT_EQ(page.windowTitle(), "Updata tools V1.2");
        const PixelRect size = DialogUnitsToPixels(0, 0, dialog->cx, dialog->cy, units);
        EXPECT_EQ(page.size(), QSize(size.width, size.height)) << dialog->id;

        ASSERT_EQ(page.findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly).size(),
                  static_cast<qsizetype>(dialog->controls.size()))
            << dialog->id;
        for (std::size_t row = 0; row < dialog->controls.size(); ++row) {
            const ControlTemplate& c = dialog->controls[row];
            QWidget* widget = page.findChild<QWidget*>(ControlObjectName(c, static_cast<int>(row)));
            ASSERT_NE(widget, nullptr) << dialog->id << " row " << row;
            const PixelRect r = DialogUnitsToPixels(c.x, c.y, c.cx, c.cy, units);
            // The picture shows its bitmap at its real size, inside its sunken edge.
            const int edge =
                c.kind == ControlKind::Picture ? 2 * static_cast<QLabel*>(widget)->frameWidth() : 0;
            const QRect expected = c.kind == ControlKind::Picture
                                       ? QRect(r.x, r.y, 136 + edge, 250 + edge)
                                       : QRect(r.x, r.y, r.width, r.height);
            EXPECT_EQ(widget->geometry(), expected) << dialog->id << " row " << row;
        }
    }
}

TEST(DialogGeometry, MnemonicsAndTabStopsFollowTheTemplates) {
    QDialog page;
    BuildDialog(page, StartTemplate(), QPixmap(136, 250));
    EXPECT_EQ(FindControl<QPushButton>(page, IDOK)->text(), "Start(&S)");
    EXPECT_TRUE(FindControl<QPushButton>(page, IDOK)->isDefault());
    EXPECT_FALSE(FindControl<QPushButton>(page, IDCANCEL)->isDefault());
    EXPECT_EQ(FindControl<QWidget>(page, IDC_CONTINUOUS)->focusPolicy() & Qt::TabFocus,
              Qt::TabFocus);
    EXPECT_EQ(page.findChild<QWidget*>("static-4")->focusPolicy(), Qt::NoFocus);
}

// --- The application's start and the welcome page ----------------------------------------------

TEST(Welcome, ShowsTheNotesAndCancelEndsWithoutTouchingTheDevice) {
    TestRig rig;
    sim::SimulatedDevice& device = rig.AddDevice("tarv");
    const LoadedPackage package(testing::TypicalPackage(), "First line\r\nSecond line\r\n");
    CUpdateApp app(rig, package.Options(rig.clock));

    QString notes;
    bool readOnly = false;
    bool scrollBars = true;
    QTimer::singleShot(0, [&] {
        WaitFor([] { return ShownPage<CWelcomeDlg>() != nullptr; });
        CWelcomeDlg* page = ShownPage<CWelcomeDlg>();
        notes = page->m_editNotes->toPlainText();
        readOnly = page->m_editNotes->isReadOnly();
        scrollBars = page->m_editNotes->verticalScrollBarPolicy() != Qt::ScrollBarAlwaysOff ||
                     page->m_editNotes->horizontalScrollBarPolicy() != Qt::ScrollBarAlwaysOff;
        Click(*page, IDCANCEL);
    });
    EXPECT_EQ(app.Run(), 0);
    EXPECT_EQ(notes, "\n\n\nFirst line\nSecond line\n");
    EXPECT_TRUE(readOnly);
    EXPECT_FALSE(scrollBars);
    EXPECT_EQ(device.OpenCount(), 0u);
    EXPECT_TRUE(rig.transport.OpenRequests().empty());
    EXPECT_TRUE(app.m_package.Image().empty()) << "the buffers are released at the end";
}

TEST(Welcome, APackageThatFailsToLoadIsReportedBeforeAnyPageAndEndsWithStatusOne) {
    TestRig rig;
    LoadOptions missing;
    missing.packagePath = "/nonexistent/TarvUpdate.Bin";
    missing.clock = &rig.clock;
    CUpdateApp app(rig, missing);
    BoxAnswerer answerer;
    bool pageShown = false;
    answerer.onBox = [&](QMessageBox&) {
        pageShown = pageShown || ShownPage<CWelcomeDlg>() != nullptr;
        return true;
    };
    EXPECT_EQ(app.Run(), EXIT_FATAL);
    ASSERT_EQ(answerer.boxes.size(), 1u);
    EXPECT_EQ(answerer.boxes[0].text, "Open updata file faile !");
    EXPECT_EQ(answerer.boxes[0].caption, GetModuleDisplayName()) << "the executable's name";
    EXPECT_EQ(answerer.boxes[0].caption, "app_tests");
    EXPECT_TRUE(answerer.boxes[0].icon);
    EXPECT_FALSE(pageShown);
}

TEST(Welcome, APackageThatFailsItsChecksIsRefusedAsOneThatDoesNotLoad) {
    const struct {
        const char* name;
        testing::PackageWriter writer;
        std::string_view message;  // the whole text, or how it starts when there is a sidecar
        std::string sidecar = "";  // the checksum file beside the package, if any
    } cases[] = {
        {"a check byte that does not match",
         testing::TypicalPackage().EditHeader([](PackageHeader& h) { h.SoundCheck ^= 1; }),
         MSG_CHECK_DATA},
        {"a sound under one page",
         testing::TypicalPackage().Sound(testing::PatternBytes(100), 0x40100000, "S001"),
         MSG_SOUND_WRITE},
        {"a sound ending in the block the map starts in",
         testing::TypicalPackage().EditHeader(
             [](PackageHeader& h) { h.Map.FlashAddress = 0x40101800; }),
         MSG_ADDRESS},
        {"bytes that are not the ones its checksum file names", testing::TypicalPackage(),
         MSG_PACKAGE_DAMAGED, std::string(64, '0') + "  TarvUpdate.Bin\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TestRig rig;
        sim::SimulatedDevice& device = rig.AddDevice("tarv");
        const LoadedPackage package(c.writer);
        if (!c.sidecar.empty()) {
            testing::WriteFile(package.Path() + ".sha256", std::string_view(c.sidecar));
        }
        CUpdateApp app(rig, package.Options(rig.clock));
        BoxAnswerer answerer;
        // A welcome page that shows is noted and cancelled, so that the test ends either way.
        bool pageShown = false;
        QTimer cancel;
        QObject::connect(&cancel, &QTimer::timeout, [&] {
            if (CWelcomeDlg* page = ShownPage<CWelcomeDlg>(); page != nullptr) {
                pageShown = true;
                Click(*page, IDCANCEL);
            }
        });
        cancel.start(10);

        EXPECT_EQ(app.Run(), EXIT_FATAL);
        ASSERT_EQ(answerer.boxes.size(), 1u);
        if (c.sidecar.empty()) {
            EXPECT_EQ(answerer.boxes[0].text, c.message);
        } else {
            EXPECT_EQ(answerer.boxes[0].text.rfind(c.message, 0), 0u) << answerer.boxes[0].text;
            EXPECT_NE(answerer.boxes[0].text.find("TarvUpdate.Bin.sha256 gives " +
                                                  c.sidecar.substr(0, 64)),
                      std::string::npos)
                << answerer.boxes[0].text;
        }
        EXPECT_EQ(answerer.boxes[0].caption, GetModuleDisplayName());
        EXPECT_TRUE(answerer.boxes[0].icon);
        EXPECT_FALSE(pageShown);
        EXPECT_EQ(device.OpenCount(), 0u);
        EXPECT_TRUE(app.m_package.Image().empty()) << "the buffers are released";
    }
}

// --- The start page ----------------------------------------------------------------------------

class StartPage : public ::testing::Test {
  protected:
    TestRig m_rig;
    LoadedPackage m_package;
    CUpdateApp m_app{m_rig, m_package.Options(m_rig.clock)};
};

TEST_F(StartPage, WithoutADeviceSaysSoEachTimeAndStays) {
    CStartDlg page(m_app);
    page.show();
    BoxAnswerer answerer;
    Click(page, IDOK);
    Click(page, IDOK);
    ASSERT_EQ(answerer.boxes.size(), 2u);
    for (const auto& box : answerer.boxes) {
        EXPECT_EQ(box.text, "No device, please connect usb cable to device !");
        EXPECT_FALSE(box.icon) << "the page's own box has no icon";
        EXPECT_EQ(box.caption, GetModuleDisplayName());
    }
    EXPECT_TRUE(page.isVisible());
    EXPECT_EQ(page.result(), 0);
}

TEST_F(StartPage, ADeviceHeldByAnotherProcessCountsAsNone) {
    m_rig.AddDevice("tarv");
    m_rig.marker.SetHeldElsewhere(true);
    CStartDlg page(m_app);
    page.show();
    BoxAnswerer answerer;
    Click(page, IDOK);
    ASSERT_EQ(answerer.boxes.size(), 1u);
    EXPECT_EQ(answerer.boxes[0].text, "No device, please connect usb cable to device !");

    m_rig.marker.SetHeldElsewhere(false);
    Click(page, IDOK);
    EXPECT_EQ(page.result(), QDialog::Accepted);
    EXPECT_TRUE(m_rig.link.Connected()) << "discovery's link stays open for the run";
}

TEST_F(StartPage, ADeviceThatMayNotBeOpenedAddsTheHintAsASecondLine) {
    sim::SimulatedDevice& device = m_rig.AddDevice("tarv");
    device.SetFaults(sim::Faults{.notPermitted = true});
    CStartDlg page(m_app);
    page.show();
    BoxAnswerer answerer;
    Click(page, IDOK);
    ASSERT_EQ(answerer.boxes.size(), 1u);
    const std::string& text = answerer.boxes[0].text;
    EXPECT_EQ(text, "No device, please connect usb cable to device !\nThe device is at " +
                        device.Path() +
                        ", but this user may not open it. To allow it, install the udev rule: " +
                        UDEV_RULE_COMMAND);
    EXPECT_EQ(page.result(), 0);
}

TEST_F(StartPage, TheCheckBoxSetsContinuousModeAsItStandsAtStart) {
    CStartDlg page(m_app);
    page.show();
    page.m_btnContinuous->click();
    EXPECT_TRUE(m_app.m_bContinuousMode);
    page.m_btnContinuous->click();
    EXPECT_FALSE(m_app.m_bContinuousMode);
    QTest::keyClick(page.m_btnContinuous, Qt::Key_Space);
    EXPECT_TRUE(m_app.m_bContinuousMode) << "the keyboard toggles it too";
}

// --- The progress page -------------------------------------------------------------------------

class ProgressPage : public ::testing::Test {
  protected:
    void Load(const testing::PackageWriter& writer = testing::TypicalPackage()) {
        m_packageFile = std::make_unique<LoadedPackage>(writer);
        ASSERT_TRUE(LoadPackage(m_app->m_package, m_packageFile->Options(m_rig.clock)).ok());
    }
    void SetUp() override {
        m_app = std::make_unique<CUpdateApp>(m_rig, LoadOptions{});
        Load();
    }
    static bool Finished(CProgressDlg& page) { return page.Run().m_bFinished.load() != 0; }

    TestRig m_rig;
    std::unique_ptr<LoadedPackage> m_packageFile;
    std::unique_ptr<CUpdateApp> m_app;
};

TEST_F(ProgressPage, AFullRunEndsInSuccessWithTheBarAtTheRunsPercentageAndOneSound) {
    sim::SimulatedDevice& device = m_rig.AddDevice("tarv");
    CProgressDlg page(*m_app);
    page.show();
    ASSERT_TRUE(WaitFor([&] { return Finished(page) && page.SoundRequests() > 0; }));
    QTest::qWait(20);

    EXPECT_EQ(page.m_staticStatus->text(), "Updata success !");
    EXPECT_EQ(page.m_progress->value(), page.Run().m_nPercent.load());
    EXPECT_LT(page.m_progress->value(), 100) << "the records post the formula after the 100";
    EXPECT_EQ(page.SoundRequests(), 1);
    EXPECT_TRUE(page.m_btnOtherDevice->isHidden()) << "not continuous: never shown";
    EXPECT_EQ(FindControl<QLabel>(page, IDC_FLASH_LINE)->text(), "");
    EXPECT_TRUE(device.Violations().empty());
    EXPECT_FALSE(device.InUpdateMode()) << "finished";
}

TEST_F(ProgressPage, AFailedRunShowsItsMessageThenTheFailureLine) {
    sim::SimulatedDevice& device = m_rig.AddDevice("tarv");
    device.SetFaults({.stayAwayAfterReset = true});
    BoxAnswerer answerer;
    CProgressDlg page(*m_app);
    page.show();
    ASSERT_TRUE(WaitFor([&] { return Finished(page); }));
    QTest::qWait(20);
    EXPECT_EQ(page.m_staticStatus->text(), "Updata faile,please connect usb cable to device !");
    ASSERT_EQ(answerer.boxes.size(), 1u);
    EXPECT_EQ(answerer.boxes[0].text,
              "Connect to device faile,please connect usb cable to device !");
    EXPECT_TRUE(answerer.boxes[0].icon);
    EXPECT_EQ(page.SoundRequests(), 0);
}

TEST_F(ProgressPage, EachRunLeavesOneLineInTheLogAtItsEnd) {
    const testing::TempDir dir;
    const std::string path = dir / "line.log";
    std::string error;
    const std::unique_ptr<CRunLog> log = CRunLog::Open(path, error);
    ASSERT_NE(log, nullptr) << error;
    m_app->m_pRunLog = log.get();
    const auto lines = [&path] { return ReadLog(path); };

    sim::SimulatedDevice& device = m_rig.AddDevice("tarv");
    for (const bool fails : {false, true}) {
        SCOPED_TRACE(fails ? "a failed run" : "a whole run");
        device.SetFaults({.stayAwayAfterReset = fails});
        ASSERT_EQ(m_rig.link.OpenDevice(), 1);  // as the start page's discovery leaves it
        const std::string devicePath = device.Path();
        BoxAnswerer answerer;
        const std::size_t before = lines().size();
        {
            CProgressDlg page(*m_app);
            page.show();
            ASSERT_TRUE(WaitFor([&] { return lines().size() == before + 1; }));
            ASSERT_TRUE(WaitFor([&] { return Finished(page); }));
            QTest::qWait(RUN_END_PERIOD_MS + 100);  // the run-end timer has come and gone
        }
        const auto found = lines();
        ASSERT_EQ(found.size(), before + 1) << "one line, not another as the page goes";
        const nlohmann::json& line = found.back();
        EXPECT_EQ(line["device"], devicePath);
        EXPECT_EQ(line["result"], fails ? "failure" : "success");
        EXPECT_EQ(line["message"],
                  fails ? nlohmann::json(std::string(MSG_RECONNECT)) : nlohmann::json(nullptr));
        EXPECT_EQ(line["packageVersions"]["program"], "P101");
    }
}

// The line of a failed run is written as it fails, before its box waits for the user, and its
// duration is the run's own. The box is left open a while before it is answered.
TEST(WizardLog, AFailuresLineIsWrittenBeforeItsBoxWaitsAndLeavesTheWaitOut) {
    constexpr int BOX_OPEN_MS = 1500;
    const struct {
        const char* name;
        bool plugged;
        sim::Faults faults;
    } cases[] = {
        {"no device: the reset fails", false, {}},
        {"unplugged in the writes", true, {.unplugAfterReports = 12}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TestRig rig(/*realTime=*/true);
        sim::SimulatedDevice& device = rig.AddDevice("tarv");
        device.SetFaults(c.faults);
        if (!c.plugged) {
            device.Unplug();
        }
        const LoadedPackage package;
        CUpdateApp app(rig, LoadOptions{});
        ASSERT_TRUE(LoadPackage(app.m_package, package.Options(rig.clock)).ok());
        const testing::TempDir dir;
        const std::string path = dir / "runs.log";
        std::string error;
        const std::unique_ptr<CRunLog> log = CRunLog::Open(path, error);
        ASSERT_NE(log, nullptr) << error;
        app.m_pRunLog = log.get();

        std::vector<nlohmann::json> linesAtBox;
        std::string boxText;
        QElapsedTimer sinceStart;
        qint64 boxShownAtMs = -1;
        QElapsedTimer open;
        BoxAnswerer answerer;
        answerer.onBox = [&](QMessageBox& box) {
            if (!open.isValid()) {
                open.start();
                boxShownAtMs = sinceStart.elapsed();
                boxText = box.text().toStdString();
                linesAtBox = ReadLog(path);
            }
            return open.elapsed() >= BOX_OPEN_MS;
        };
        {
            sinceStart.start();
            CProgressDlg page(app);
            page.show();
            ASSERT_TRUE(WaitFor([&] { return page.Run().m_bFinished.load() != 0; }, 30000));
            QTest::qWait(RUN_END_PERIOD_MS + 100);  // past the run-end timer, which logs otherwise
        }
        ASSERT_EQ(linesAtBox.size(), 1u) << "written before the box was answered";
        EXPECT_EQ(linesAtBox[0]["result"], "failure");
        EXPECT_EQ(linesAtBox[0]["message"], boxText);
        EXPECT_LE(linesAtBox[0]["durationMs"].get<qint64>(), boxShownAtMs)
            << "the time the box stood open is not the run's";
        EXPECT_EQ(ReadLog(path), linesAtBox) << "one line for the run, not another at its end";
    }
}

TEST(WizardLog, ALineThatCannotBeWrittenIsSaidAndEndsTheWizardWithStatusOne) {
    std::string error;
    const std::unique_ptr<CRunLog> log = CRunLog::Open("/dev/full", error);
    if (log == nullptr) {
        GTEST_SKIP() << "no /dev/full here: " << error;
    }
    TestRig rig;
    rig.AddDevice("tarv");
    const LoadedPackage package;
    CUpdateApp app(rig, package.Options(rig.clock));
    app.m_pRunLog = log.get();
    BoxAnswerer answerer;
    const int status = testing::RunWizard(app, [](CProgressDlg& page) {
        if (page.Run().m_bFinished.load() != 0 && page.m_btnQuit->focusPolicy() != Qt::NoFocus) {
            page.m_btnQuit->click();  // the run is over and its line was tried
        }
    });
    EXPECT_EQ(status, EXIT_FATAL);
    ASSERT_EQ(answerer.boxes.size(), 1u);
    EXPECT_EQ(
        answerer.boxes[0].text,
        "This run is not in the log: cannot write the log /dev/full: No space left on device");
    EXPECT_TRUE(answerer.boxes[0].icon);
}

TEST_F(ProgressPage, QueuedProgressEventsAllShowTheLatestPercentage) {
    m_rig.AddDevice("tarv");
    CProgressDlg page(*m_app);
    ASSERT_TRUE(WaitFor([&] { return Finished(page); }));
    QTest::qWait(20);
    for (const int percent : {42, 57}) {
        page.Run().m_nPercent.store(percent);
        for (int i = 0; i < 3; ++i) {
            QCoreApplication::postEvent(&page, new QEvent(WM_UPDATE_PROGRESS));
        }
        QCoreApplication::processEvents();
        EXPECT_EQ(page.m_progress->value(), percent);
    }
}

TEST_F(ProgressPage, EnterNeverClosesThePage) {
    m_rig.AddDevice("tarv");
    CProgressDlg page(*m_app);
    page.show();
    ASSERT_TRUE(WaitFor([&] { return Finished(page); }));
    QTest::keyClick(&page, Qt::Key_Return);
    QTest::keyClick(&page, Qt::Key_Enter);
    EXPECT_TRUE(page.isVisible());
}

TEST_F(ProgressPage, InContinuousModeOtherDeviceIsGreyedDuringTheRunThenOffered) {
    m_rig.AddDevice("tarv");
    m_app->m_bContinuousMode = true;
    CProgressDlg page(*m_app);
    EXPECT_FALSE(page.m_btnOtherDevice->isHidden());
    EXPECT_FALSE(page.m_btnOtherDevice->isEnabled());
    page.show();
    ASSERT_TRUE(WaitFor([&] { return page.m_btnOtherDevice->isEnabled(); }));
    EXPECT_EQ(page.m_staticNotice->text(),
              "If you need to continue, please connect the USB cable to the new machine !");
    // All of it shows, above the buttons.
    const QLabel& notice = *page.m_staticNotice;
    EXPECT_GE(notice.height(), notice.heightForWidth(notice.width()));
    EXPECT_LT(notice.geometry().bottom(), page.m_btnOtherDevice->geometry().top());
    EXPECT_EQ(m_rig.runsEnded, 1);
}

TEST_F(ProgressPage, OtherDeviceWithoutADeviceSaysSoAndWithOneStartsTheNextRun) {
    sim::SimulatedDevice& device = m_rig.AddDevice("tarv");
    m_app->m_bContinuousMode = true;
    CProgressDlg page(*m_app);
    page.show();
    ASSERT_TRUE(WaitFor([&] { return page.m_btnOtherDevice->isEnabled(); }));

    device.Unplug();
    BoxAnswerer answerer;
    page.m_btnOtherDevice->click();
    ASSERT_EQ(answerer.boxes.size(), 1u);
    EXPECT_EQ(answerer.boxes[0].text, "No device, please connect usb cable to device !");
    EXPECT_TRUE(page.isVisible());

    device.PlugIn();
    page.m_btnOtherDevice->click();
    EXPECT_EQ(page.result(), CProgressDlg::RESULT_NEXT_DEVICE);
}

// --- Quitting during a run ---------------------------------------------------------------------

// Quit at several points of a run on the real clock, the stop question answered Yes. Before the
// reset (held up by a late answer to the query) nothing is asked.
TEST(QuitDuringARun, EndsCleanlyWithTheLinkClosedAtEveryPoint) {
    const struct {
        int afterMs;
        std::uint32_t queryLateMs;
        bool asked;
    } points[] = {
        {0, 1000, false},   // the worker just started
        {50, 1000, false},  // waiting for the query's answer
        {400, 0, true},     // the wait after the reset
        {1200, 0, true},    // the device away after the reset
    };
    for (const auto& point : points) {
        SCOPED_TRACE(point.afterMs);
        TestRig rig(/*realTime=*/true);
        sim::SimulatedDevice& device = rig.AddDevice("tarv");
        device.SetFaults({.answerLateMs = point.queryLateMs});
        const LoadedPackage package;
        CUpdateApp app(rig, LoadOptions{});
        ASSERT_TRUE(LoadPackage(app.m_package, package.Options(rig.clock)).ok());
        BoxAnswerer answerer(QMessageBox::Yes);
        CProgressDlg page(app);
        page.show();
        QTest::qWait(point.afterMs);
        EXPECT_EQ(page.Run().m_bFinished.load(), 0) << "still running";
        EXPECT_EQ(page.Run().m_bResetSent.load(), point.asked);
        page.reject();
        ASSERT_TRUE(WaitFor([&] { return !page.isVisible(); }, 5000));
        EXPECT_EQ(page.result(), QDialog::Rejected);
        EXPECT_EQ(page.Run().Outcome(), RunOutcome::Stopped);
        EXPECT_EQ(page.m_staticStatus->text().toStdString(), STATUS_STOPPED);
        EXPECT_EQ(device.Resets(), point.asked ? 1u : 0u);
        EXPECT_EQ(device.LiveConnections(), 0u);
        EXPECT_FALSE(rig.link.Connected());
        // The question, when asked, is the only box: a stopped run says nothing more.
        std::vector<std::string> texts;
        for (const auto& box : answerer.boxes) {
            texts.push_back(box.text);
        }
        EXPECT_EQ(texts, point.asked ? std::vector<std::string>{std::string(MSG_STOP_QUESTION)}
                                     : std::vector<std::string>{});
    }
}

// A run past its reset, on the real clock: the device at a real device's pace.
class RunPastItsReset : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(LoadPackage(m_app.m_package, m_package.Options(m_rig.clock)).ok());
    }
    void StartPage() {
        m_page = std::make_unique<CProgressDlg>(m_app);
        m_page->show();
        ASSERT_TRUE(WaitFor([&] { return m_page->Run().m_bResetSent.load(); }));
    }
    bool Running() const { return m_page->Run().m_bFinished.load() == 0; }

    TestRig m_rig{/*realTime=*/true};
    sim::SimulatedDevice& m_device = m_rig.AddDevice("tarv");
    LoadedPackage m_package;
    CUpdateApp m_app{m_rig, LoadOptions{}};
    std::unique_ptr<CProgressDlg> m_page;
};

TEST_F(RunPastItsReset, NoKeyStopsItAndQuitIsNeitherFocusedNorDefault) {
    StartPage();
    BoxAnswerer answerer;
    EXPECT_NE(m_page->focusWidget(), m_page->m_btnQuit);
    EXPECT_FALSE(m_page->m_btnQuit->isDefault());
    EXPECT_FALSE(m_page->m_btnQuit->autoDefault());
    for (const Qt::Key key : {Qt::Key_Space, Qt::Key_Return, Qt::Key_Enter}) {
        QWidget* target = m_page->focusWidget() != nullptr ? m_page->focusWidget() : m_page.get();
        QTest::keyClick(target, key);
    }
    EXPECT_TRUE(answerer.boxes.empty());
    EXPECT_TRUE(Running());
    EXPECT_FALSE(m_page->Run().StopRequested());
    // Once the run is over Quit has the focus again, as the only way on.
    ASSERT_TRUE(WaitFor([&] { return m_page->focusWidget() == m_page->m_btnQuit; }));
    EXPECT_EQ(m_page->Run().Outcome(), RunOutcome::Success);
}

TEST_F(RunPastItsReset, QuitEscAndTheCloseBoxAskAndNoLeavesTheRunGoing) {
    StartPage();
    // The operator's answer to each question: Enter and Esc both say No, as does the No button.
    std::vector<std::string> questions;
    int asked = 0;
    BoxAnswerer answerer;
    answerer.onBox = [&](QMessageBox& box) {
        questions.push_back(box.text().toStdString());
        EXPECT_EQ(box.defaultButton(), box.button(QMessageBox::No));
        EXPECT_EQ(box.escapeButton(), box.button(QMessageBox::No));
        EXPECT_EQ(box.windowTitle().toStdString(), GetModuleDisplayName());
        box.setProperty("answered", true);
        switch (asked++) {
            case 0:
                QTest::keyClick(&box, Qt::Key_Return);
                break;
            case 1:
                QTest::keyClick(&box, Qt::Key_Escape);
                break;
            default:
                box.button(QMessageBox::No)->click();
                break;
        }
        return false;
    };
    const std::pair<const char*, std::function<void()>> ways[] = {
        {"Quit", [&] { QTest::mouseClick(m_page->m_btnQuit, Qt::LeftButton); }},
        {"Esc", [&] { QTest::keyClick(m_page.get(), Qt::Key_Escape); }},
        {"the close box", [&] { m_page->close(); }},
    };
    for (const auto& [name, quit] : ways) {
        SCOPED_TRACE(name);
        const std::size_t before = questions.size();
        quit();
        ASSERT_EQ(questions.size(), before + 1) << "asked first";
        EXPECT_EQ(questions.back(), MSG_STOP_QUESTION);
        EXPECT_TRUE(m_page->isVisible());
        EXPECT_FALSE(m_page->Run().StopRequested());
    }
    ASSERT_TRUE(WaitFor([&] { return !Running(); }));
    EXPECT_EQ(m_page->Run().Outcome(), RunOutcome::Success);
    EXPECT_EQ(m_page->m_staticStatus->text().toStdString(), STATUS_SUCCESS);
    EXPECT_TRUE(m_device.Violations().empty());
    EXPECT_FALSE(m_device.InUpdateMode()) << "the run went on to its finish command";
}

TEST_F(RunPastItsReset, YesStopsItAndThePageSaysSoUntilItCloses) {
    StartPage();
    BoxAnswerer answerer(QMessageBox::Yes);
    QTest::keyClick(m_page.get(), Qt::Key_Escape);
    ASSERT_EQ(answerer.boxes.size(), 1u);
    EXPECT_TRUE(m_page->Run().StopRequested());
    ASSERT_TRUE(WaitFor([&] { return !m_page->isVisible(); }, 5000));
    EXPECT_EQ(m_page->Run().Outcome(), RunOutcome::Stopped);
    EXPECT_EQ(m_page->m_staticStatus->text().toStdString(), STATUS_STOPPED)
        << "not the cable's failure line";
    EXPECT_EQ(m_device.LiveConnections(), 0u);
    EXPECT_EQ(answerer.boxes.size(), 1u) << "nothing more from the stopped run";
}

TEST(QuitDuringARun, AStoppedLastRunEndsTheWizardWithStatusOneAndAStoppedLine) {
    TestRig rig(/*realTime=*/true);
    sim::SimulatedDevice& device = rig.AddDevice("tarv");
    const LoadedPackage package;
    CUpdateApp app(rig, package.Options(rig.clock));
    const testing::TempDir dir;
    std::string error;
    const std::unique_ptr<CRunLog> log = CRunLog::Open(dir / "runs.log", error);
    ASSERT_NE(log, nullptr) << error;
    app.m_pRunLog = log.get();

    BoxAnswerer answerer(QMessageBox::Yes);
    bool quit = false;
    const int status = testing::RunWizard(app, [&](CProgressDlg& page) {
        if (!quit && page.Run().m_bResetSent.load()) {
            quit = true;
            page.m_btnQuit->click();
        }
    });
    EXPECT_TRUE(quit);
    EXPECT_EQ(status, EXIT_FATAL);
    const std::vector<nlohmann::json> lines = ReadLog(dir / "runs.log");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0]["result"], "stopped");
    EXPECT_EQ(lines[0]["message"], std::string(MSG_STOPPED));
    EXPECT_EQ(device.LiveConnections(), 0u);
}

TEST(QuitDuringARun, ClosesTheRunsOpenMessageBoxToo) {
    TestRig rig;
    sim::SimulatedDevice& device = rig.AddDevice("tarv");
    // The device already has the package's versions: the run asks, and waits.
    const LoadedPackage package;
    CUpdateApp app(rig, LoadOptions{});
    ASSERT_TRUE(LoadPackage(app.m_package, package.Options(rig.clock)).ok());
    sim::DeviceConfig config;
    config.name = "current";
    config.programVersion = "P101";
    config.soundVersion = "S202";
    config.mapVersion = "M303";
    device.Unplug();
    sim::SimulatedDevice& current = rig.transport.AddDevice(config);

    CProgressDlg page(app);
    BoxAnswerer answerer;
    bool sawQuestion = false;
    answerer.onBox = [&](QMessageBox& box) {
        if (!sawQuestion && box.text().toStdString() == MSG_LATEST_VERSION) {
            sawQuestion = true;
            QTimer::singleShot(0, &page, [&page] { page.reject(); });  // Quit while it is open
        }
        return false;  // leave it to the page
    };
    page.show();
    ASSERT_TRUE(WaitFor([&] { return !page.isVisible(); }, 5000));
    EXPECT_TRUE(sawQuestion);
    EXPECT_EQ(page.result(), QDialog::Rejected);
    EXPECT_NE(page.Run().Outcome(), RunOutcome::Success);
    EXPECT_EQ(current.LiveConnections(), 0u);
    EXPECT_EQ(current.Resets(), 0u) << "nothing rewritten";
}

}  // namespace
}  // namespace tarv
