// A wake-up call across threads that never blocks the caller: an eventfd the waiting thread
// polls. Many calls before the waiter gets to it count as one.
#pragma once

namespace tarv::cli {

class CWakeup {
  public:
    CWakeup();
    ~CWakeup();
    CWakeup(const CWakeup&) = delete;
    CWakeup& operator=(const CWakeup&) = delete;

    // Makes Fd() readable. Any thread; returns at once.
    void Notify();
    // Makes Fd() unreadable again until the next Notify.
    void Drain();
    int Fd() const { return m_nFd; }

  private:
    int m_nFd;
};

}  // namespace tarv::cli
