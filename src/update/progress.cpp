#include "update/progress.h"

#include <cstdio>

namespace tarv {

std::int32_t ProgressPercent(const UpdateProgress& progress) {
    if (progress.totalUnits == 0) {
        return progress.basePercent;
    }
    const std::uint32_t share = static_cast<std::uint32_t>(100 - progress.basePercent);
    return static_cast<std::int32_t>(progress.basePercent +
                                     share * progress.unitsDone / progress.totalUnits);
}

std::uint32_t InitialTimeLeftMs(std::uint32_t payloadLength) {
    const std::uint32_t units = (payloadLength - 128) / 1024;
    return 32 * units + 34 * (units / 4) + 4000;
}

std::string ProgressStatusText(std::int32_t percent, std::uint32_t timeLeftMs) {
    const std::uint32_t seconds = timeLeftMs / 1000;
    const unsigned minutes = seconds / 60;
    const unsigned rest = seconds % 60;
    char text[160];
    if (minutes > 0 && rest > 0) {
        std::snprintf(text, sizeof text, "Update:%d%% complete,abount %u minute %u second need...",
                      percent, minutes, rest);
    } else if (minutes > 0) {
        std::snprintf(text, sizeof text, "Update:%d%% complete,abount %u minute need...", percent,
                      minutes);
    } else if (rest > 0) {
        std::snprintf(text, sizeof text, "Update:%d%% complete,abount %u seconds need ...", percent,
                      rest);
    } else {
        std::snprintf(text, sizeof text, "Update:%d%% complete,abount 0 seconds need ...", percent);
    }
    return text;
}

}  // namespace tarv
