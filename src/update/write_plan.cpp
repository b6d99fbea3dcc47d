#include "update/write_plan.h"

#include "link/protocol.h"
#include "package/limits.h"

namespace tarv {
namespace {

constexpr std::uint32_t PAGES_PER_BLOCK = FLASH_BLOCK_SIZE / FLASH_PAGE_SIZE;
constexpr std::uint32_t FLASH_PAGES = (FLASH_END - FLASH_BASE) / FLASH_PAGE_SIZE;
static_assert((FLASH_END - FLASH_BASE) % FLASH_BLOCK_SIZE == 0, "the flash ends on a block");

}  // namespace

bool AreaPlan::InsideFlash() const {
    // The flash ends on a block boundary, so pages inside it lie in blocks inside it.
    return EndPage() <= FLASH_PAGES;
}

AreaPlan PlanArea(std::uint32_t flashAddress, std::uint32_t bytes) {
    AreaPlan plan;
    plan.firstPage = (flashAddress - FLASH_BASE) / FLASH_PAGE_SIZE;
    plan.firstBlock = plan.firstPage / PAGES_PER_BLOCK;
    plan.pageCount =
        static_cast<std::uint32_t>((std::uint64_t{bytes} + FLASH_PAGE_SIZE - 1) / FLASH_PAGE_SIZE);
    if (plan.pageCount > 0) {
        const std::uint64_t lastBlock = (plan.EndPage() - 1) / PAGES_PER_BLOCK;
        plan.blockCount = static_cast<std::uint32_t>(lastBlock - plan.firstBlock + 1);
    }
    return plan;
}

}  // namespace tarv
