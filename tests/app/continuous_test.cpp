// Continuous mode through the whole page chain: the start routine runs, and a driver plays the
// operator at the pages and the cable.
#include <QCheckBox>
#include <QLabel>

#include <gtest/gtest.h>

#include "app_harness.h"

namespace tarv {
namespace {

using testing::BoxAnswerer;
using testing::Click;
using testing::LoadedPackage;
using testing::ShownPage;
using testing::TestRig;
using testing::WaitFor;

// Runs the start routine in continuous mode. `onPage` is called on the event loop for each new
// progress page once its run is over and it waits for the next device; it returns false to quit.
class ContinuousRun {
  public:
    explicit ContinuousRun(TestRig& rig) : m_rig(rig) {}

    int Run(const std::function<bool(CProgressDlg& page, int index)>& onPage) {
        CUpdateApp app(m_rig, m_package.Options(m_rig.clock));
        QTimer driver;
        QObject::connect(&driver, &QTimer::timeout, [&] {
            if (CWelcomeDlg* welcome = ShownPage<CWelcomeDlg>()) {
                Click(*welcome, IDOK);
            } else if (CStartDlg* start = ShownPage<CStartDlg>()) {
                start->m_btnContinuous->click();
                Click(*start, IDOK);
            } else if (CProgressDlg* page = ShownPage<CProgressDlg>()) {
                // Pages of the loop may reuse one address: a new page is one not marked yet.
                if (!page->property("seen").toBool()) {
                    page->setProperty("seen", true);
                    ++m_nPages;
                    m_pending = page;
                }
                if (m_pending == page && page->m_btnOtherDevice->isEnabled()) {
                    m_pending = nullptr;
                    if (!onPage(*page, m_nPages - 1)) {
                        page->reject();
                    }
                }
            }
        });
        driver.start(10);
        return app.Run();
    }

    int Pages() const { return m_nPages; }

  private:
    TestRig& m_rig;
    LoadedPackage m_package;
    int m_nPages = 0;
    CProgressDlg* m_pending = nullptr;
};

TEST(ContinuousMode, TheDeviceLeftAttachedIsNotUpdatedAgain) {
    TestRig rig;
    sim::SimulatedDevice& device = rig.AddDevice("first");
    ContinuousRun run(rig);
    const int status = run.Run([&](CProgressDlg& page, int) {
        const int polls = rig.polls;
        WaitFor([&] { return rig.polls >= polls + 6; });
        EXPECT_TRUE(page.isVisible()) << "still waiting";
        EXPECT_FALSE(rig.link.Connected()) << "each poll closes the link again";
        return false;
    });
    EXPECT_EQ(status, 0);
    EXPECT_EQ(run.Pages(), 1);
    EXPECT_EQ(device.Resets(), 1u);
    EXPECT_TRUE(device.InUpdateMode()) << "no finish command in continuous mode";
}

TEST(ContinuousMode, AnotherDevicePluggedInAfterTwoEmptyPollsGetsTheNextPage) {
    TestRig rig;
    sim::SimulatedDevice& first = rig.AddDevice("first");
    sim::SimulatedDevice& second = rig.AddDevice("second");
    second.Unplug();
    ContinuousRun run(rig);
    run.Run([&](CProgressDlg&, int index) {
        if (index == 0) {
            first.Unplug();
            const int polls = rig.polls;
            WaitFor([&] { return rig.polls >= polls + 2; });
            second.PlugIn();
            return true;  // the poll takes it from here
        }
        return false;
    });
    EXPECT_EQ(run.Pages(), 2);
    EXPECT_EQ(first.Resets(), 1u);
    EXPECT_EQ(second.Resets(), 1u);
    EXPECT_TRUE(second.Violations().empty());
}

TEST(ContinuousMode, ASwapFasterThanTwoPollsIsTakenForTheSameDevice) {
    TestRig rig;
    sim::SimulatedDevice& first = rig.AddDevice("first");
    sim::SimulatedDevice& second = rig.AddDevice("second");
    second.Unplug();
    ContinuousRun run(rig);
    run.Run([&](CProgressDlg& page, int index) {
        if (index > 0) {
            return false;
        }
        first.Unplug();
        second.PlugIn();  // before a poll has seen the bus empty
        const int polls = rig.polls;
        WaitFor([&] { return rig.polls >= polls + 5; });
        EXPECT_EQ(second.Resets(), 0u) << "taken for the old device";
        page.m_btnOtherDevice->click();  // the operator insists
        return true;
    });
    EXPECT_EQ(run.Pages(), 2);
    EXPECT_EQ(second.Resets(), 1u);
}

TEST(ContinuousMode, AFailedRunIsRetriedOnTheDeviceStillAttached) {
    TestRig rig;
    sim::SimulatedDevice& device = rig.AddDevice("flaky");
    device.SetFaults({.unplugAfterReports = 3});  // lost after the address record, once
    BoxAnswerer answerer;
    ContinuousRun run(rig);
    std::vector<std::string> statuses;
    run.Run([&](CProgressDlg& page, int index) {
        statuses.push_back(page.m_staticStatus->text().toStdString());
        if (index == 0) {
            device.PlugIn();
            return true;
        }
        return false;
    });
    EXPECT_EQ(run.Pages(), 2);
    EXPECT_EQ(statuses,
              (std::vector<std::string>{"Updata faile,please connect usb cable to device !",
                                        "Updata success !"}));
}

}  // namespace
}  // namespace tarv
