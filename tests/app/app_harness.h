// What the wizard's tests share: a rig of simulated devices on a virtual clock, a loaded package,
// and helpers that answer message boxes and wait for pages, as a user would.
#pragma once

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <functional>
#include <string>
#include <vector>

#include "app/dialog_builder.h"
#include "app/message_box.h"
#include "app/pages.h"
#include "app/update_app.h"
#include "base/clock.h"
#include "sim/simulator.h"
#include "support/package_writer.h"
#include "support/temp_dir.h"

namespace tarv::testing {

// Simulated devices on a virtual clock, behind the one link.
class TestRig final : public DeviceRig {
  public:
    // On the real clock, devices take a real device's time: for tests that act during a run.
    explicit TestRig(bool realTime = false)
        : m_bRealTime(realTime),
          clock(realTime ? static_cast<Clock&>(SystemClock::Instance()) : m_virtualClock) {}
    CHidLink& Link() override { return link; }
    Clock& RunClock() override { return clock; }
    void OnRunEnded() override { ++runsEnded; }
    void OnPoll() override { ++polls; }

    sim::SimulatedDevice& AddDevice(const std::string& name) {
        sim::DeviceConfig config;
        config.name = name;
        config.resetAwayMs = m_bRealTime ? 300 : 0;
        config.reportMs = m_bRealTime ? 1 : 0;
        config.eraseBlockMs = m_bRealTime ? 20 : 0;
        return transport.AddDevice(config);
    }

  private:
    bool m_bRealTime;
    VirtualClock m_virtualClock{1000};

  public:
    Clock& clock;
    sim::SimTransport transport{clock};
    sim::SimInUseMarker marker;
    CHidLink link{transport, marker, clock};
    int runsEnded = 0;
    int polls = 0;
};

// Answers every message box that opens, recording its caption, text and whether it had an icon.
class BoxAnswerer {
  public:
    struct Box {
        std::string caption;
        std::string text;
        bool icon;
    };

    explicit BoxAnswerer(QMessageBox::StandardButton answer = QMessageBox::Ok);
    ~BoxAnswerer();

    std::vector<Box> boxes;
    // Called with each box before it is answered; may leave it open by returning false.
    std::function<bool(QMessageBox&)> onBox;

  private:
    void Poll();
    QTimer m_timer;
    QMessageBox::StandardButton m_answer;
};

// The package the tests load, written with the package writer.
class LoadedPackage {
  public:
    explicit LoadedPackage(const PackageWriter& writer = TypicalPackage(), std::string notes = "");
    LoadOptions Options(Clock& clock) const;
    std::string Path() const { return m_dir / "TarvUpdate.Bin"; }

  private:
    TempDir m_dir;
};

// Waits on the event loop until `done` holds or `ms` have passed; true when it holds.
bool WaitFor(const std::function<bool()>& done, int ms = 10000);

// The top-level page of the given type now shown, or null.
template <typename Page>
Page* ShownPage() {
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (auto* page = qobject_cast<Page*>(widget); page != nullptr && page->isVisible()) {
            return page;
        }
    }
    return nullptr;
}

// Clicks the push button with `id` on `page`.
void Click(QWidget& page, int id);

// Runs the start routine as an operator would: Next, Start (with continuous mode ticked when
// asked), then `onProgress` on every tick of the driver while a progress page shows. Returns the
// start routine's exit status.
int RunWizard(CUpdateApp& app, const std::function<void(CProgressDlg& page)>& onProgress,
              bool continuous = false);

}  // namespace tarv::testing
