#include <utility>

#include "sim/simulator.h"

namespace tarv::sim {
namespace {

class CountedHold final : public InUseMarker::Hold {
  public:
    explicit CountedHold(std::shared_ptr<std::atomic<int>> live) : m_nLive(std::move(live)) {
        m_nLive->fetch_add(1);
    }
    ~CountedHold() override { m_nLive->fetch_sub(1); }
    CountedHold(const CountedHold&) = delete;
    CountedHold& operator=(const CountedHold&) = delete;

  private:
    std::shared_ptr<std::atomic<int>> m_nLive;
};

}  // namespace

SimInUseMarker::SimInUseMarker() : m_nLiveHolds(std::make_shared<std::atomic<int>>(0)) {}

InUseMarker::Result SimInUseMarker::Create(std::unique_ptr<Hold>& hold) {
    hold.reset();
    if (m_bHeldElsewhere.load()) {
        return Result::AlreadyExists;
    }
    if (m_bCreateFails.load()) {
        return Result::Failed;
    }
    hold = std::make_unique<CountedHold>(m_nLiveHolds);
    return Result::Created;
}

void SimInUseMarker::SetHeldElsewhere(bool held) {
    m_bHeldElsewhere.store(held);
}

void SimInUseMarker::SetCreateFails(bool fails) {
    m_bCreateFails.store(fails);
}

int SimInUseMarker::LiveHolds() const {
    return m_nLiveHolds->load();
}

}  // namespace tarv::sim
