// A period of the year and its hourly sun positions, weighted as a run of the
// dialogue weights them.
#ifndef TERRALUME_ENGINE_PERIOD_H
#define TERRALUME_ENGINE_PERIOD_H

#include "engine.h"

#include <cstdint>
#include <vector>

namespace terralume
{

// Consecutive day numbers first..last (1..365, first <= last).
struct DayRange {
    int32_t first;
    int32_t last;
};

// One range, or two for a period across the new year (first date after the
// last: first..365, then 1..last).
struct Period {
    std::vector<DayRange> pieces;
    int64_t days() const;
};

// first and last are day numbers 1..365.
Period period_between(int32_t first, int32_t last);

// Every day of the period in order, every hour 0..24 with the sun up (the
// simplified sun model of sun.h at latitude `lat`, degrees): each position
// weighs 1 hour and is divided by 11 times the days of the period, so that
// for a period of the dialogue the accumulation is the dialogue's.
std::vector<SunPosition> hourly_positions(const Period &period, double lat);

} // namespace terralume

#endif
