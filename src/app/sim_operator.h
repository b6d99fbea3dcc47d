// The demo's operator at the pages, for tests that run the real program (--sim-start, a hidden
// option of --simulate): presses Next, ticks continuous mode when several devices are simulated,
// and presses Start once the device is plugged in, saying each step on stdout so that a test
// knows where the program is. From the progress page on the program runs by itself.
#pragma once

#include <QObject>
#include <QTimer>

namespace tarv {

class CSimOperator final : public QObject {
    Q_OBJECT
  public:
    explicit CSimOperator(bool continuous);

    // The device is on the bus: Start may be pressed.
    void DevicePluggedIn() { m_bPlugged = true; }

  private:
    void Act();

    QTimer m_timer;
    const bool m_bContinuous;
    bool m_bPlugged = false;
    bool m_bNextPressed = false;
};

}  // namespace tarv
