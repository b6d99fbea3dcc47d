// SIGINT, SIGTERM and SIGHUP as events of the wizard's event loop.
//
// The handler only writes the signal's number into a pipe, which is safe in a handler and on
// any thread; a socket notifier on the pipe's other end hands the number to the user-interface
// thread, which stops the run and ends the program itself. The handlers go in first thing in
// main, so that a signal that comes early (while Qt starts, while the package loads) still ends
// the program with its own exit status: it waits in the pipe until the watch reads it.
#pragma once

#include <QObject>
#include <functional>

class QSocketNotifier;

namespace tarv {

// Installs the handlers of the three signals and ignores SIGPIPE, so that a reader that went
// away never ends the process. Once, before anything else in main.
void InstallEndSignalHandlers();

// Calls `onSignal` on the user-interface thread, from its event loop, with the number of each
// signal that came since InstallEndSignalHandlers. Needs the application object.
class CEndSignalWatch final : public QObject {
    Q_OBJECT
  public:
    explicit CEndSignalWatch(std::function<void(int)> onSignal);
    ~CEndSignalWatch() override;

  private:
    void OnReadable();

    std::function<void(int)> m_onSignal;
    QSocketNotifier* m_pNotifier = nullptr;
};

}  // namespace tarv
