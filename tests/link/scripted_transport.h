// A transport whose every answer the test decides: reports written are recorded, reads return
// what the test queued, and a test can hold a read inside the transport to act meanwhile.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "base/clock.h"
#include "link/in_use_marker.h"
#include "link/transport.h"

namespace tarv::testing {

// What one opened connection does; shared between the test and the connection object.
struct ConnectionScript {
    std::mutex mutex;
    std::vector<HidReport> written;
    std::deque<std::vector<std::uint8_t>> replies;  // each a report with its ID, length = count
    int writeResult = 65;                           // what Write returns; -1 refuses
    bool closed = false;                            // the connection object was destroyed
    // Called inside Read before anything else, for tests that act while a read is waiting.
    std::function<void()> onRead;

    void QueueReply(std::vector<std::uint8_t> report) {
        const std::lock_guard guard(mutex);
        replies.push_back(std::move(report));
    }
    // A whole reply report: report ID 0 and the 64 payload bytes.
    void QueuePayload(std::span<const std::uint8_t> payload) {
        std::vector<std::uint8_t> report(1, 0);
        report.insert(report.end(), payload.begin(), payload.end());
        QueueReply(std::move(report));
    }
    std::vector<HidReport> Written() {
        const std::lock_guard guard(mutex);
        return written;
    }
};

class ScriptedConnection final : public HidConnection {
  public:
    ScriptedConnection(std::shared_ptr<ConnectionScript> script, Clock& clock)
        : m_script(std::move(script)), m_clock(clock) {}
    ~ScriptedConnection() override {
        const std::lock_guard guard(m_script->mutex);
        m_script->closed = true;
    }

    int Write(std::span<const std::uint8_t, HID_REPORT_SIZE> report) override {
        const std::lock_guard guard(m_script->mutex);
        HidReport copy;
        std::copy(report.begin(), report.end(), copy.begin());
        m_script->written.push_back(copy);
        return m_script->writeResult;
    }

    int Read(std::span<std::uint8_t, HID_REPORT_SIZE> report, std::uint32_t timeoutMs) override {
        std::function<void()> hook;
        {
            const std::lock_guard guard(m_script->mutex);
            hook = m_script->onRead;
        }
        if (hook) {
            hook();
        }
        {
            const std::lock_guard guard(m_script->mutex);
            if (!m_script->replies.empty()) {
                const std::vector<std::uint8_t> reply = std::move(m_script->replies.front());
                m_script->replies.pop_front();
                std::copy(reply.begin(), reply.end(), report.begin());
                return static_cast<int>(reply.size());
            }
        }
        m_clock.SleepFor(timeoutMs);  // a device that sends nothing: the whole timeout passes
        return 0;
    }

  private:
    std::shared_ptr<ConnectionScript> m_script;
    Clock& m_clock;
};

class ScriptedTransport final : public HidTransport {
  public:
    explicit ScriptedTransport(Clock& clock) : m_clock(clock) {}

    std::vector<HidInterfaceEntry> entries;
    bool enumerationAvailable = true;
    std::map<std::string, OpenError> unopenable;             // paths whose open fails
    std::vector<std::string> opened;                         // paths opened, in order
    std::vector<std::shared_ptr<ConnectionScript>> scripts;  // one per open, in order

    // Adds a matching interface (the device's vendor and product ID) at `path`.
    void AddDevice(const std::string& path) {
        entries.push_back({true, path, TARV_VENDOR_ID, TARV_PRODUCT_ID});
    }

    std::optional<std::vector<HidInterfaceEntry>> Enumerate() override {
        if (!enumerationAvailable) {
            return std::nullopt;
        }
        return entries;
    }

    std::unique_ptr<HidConnection> Open(const std::string& path, OpenError* error) override {
        if (const auto it = unopenable.find(path); it != unopenable.end()) {
            if (error != nullptr) {
                *error = it->second;
            }
            return nullptr;
        }
        opened.push_back(path);
        scripts.push_back(std::make_shared<ConnectionScript>());
        return std::make_unique<ScriptedConnection>(scripts.back(), m_clock);
    }

    ConnectionScript& Last() { return *scripts.back(); }

  private:
    Clock& m_clock;
};

// A marker whose answer the test sets; counts the holds that are alive.
class FakeMarker final : public InUseMarker {
  public:
    Result answer = Result::Created;
    int liveHolds = 0;

    Result Create(std::unique_ptr<Hold>& hold) override {
        if (answer == Result::Created) {
            hold = std::make_unique<CountedHold>(liveHolds);
        }
        return answer;
    }

  private:
    class CountedHold final : public Hold {
      public:
        explicit CountedHold(int& live) : m_live(live) { ++m_live; }
        ~CountedHold() override { --m_live; }

      private:
        int& m_live;
    };
};

}  // namespace tarv::testing
