// A period of the year and its hourly sun positions, weighted as a run of the
// dialogue weights them.
#ifndef TERRALUME_ENGINE_PERIOD_H
#define TERRALUME_ENGINE_PERIOD_H

#include "engine.h"
#include "sun.h"

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

// The hourly sun of consecutive days, visited in order: on_day(day) as each
// day starts, then on_position(position, hour) for every hour 0..24 with the
// sun up (the simplified sun model of sun.h at latitude `lat`, degrees), each
// position weighing `weight`. Days are day numbers, any whole numbers (a
// model's day past 365 or before 1 is computed as it stands); at most
// `max_days` of them are visited.
template <typename OnDay, typename OnPosition>
void visit_hourly_positions(const std::vector<DayRange> &days, double lat, Weight weight, int64_t max_days,
                            OnDay on_day, OnPosition on_position)
{
    int64_t visited = 0;
    for (const DayRange &r : days)
        for (int32_t day = r.first; day <= r.last && visited < max_days; day++, visited++) {
            const SunDay sun = sun_positions(day, lat);
            on_day(day);
            for (int h = 0; h < kHours; h++)
                if (sun_is_up(sun.asol[h]))
                    on_position(SunPosition{sun.asol[h], sun.zsol[h], weight}, h);
        }
}

// The dialogue's weight of a period's positions: each divided by 11 times
// its days (the positions of a day at the equinox), a 32-bit count.
Weight hourly_weight(int64_t days);

// Every day of the period in order, every hour 0..24 with the sun up, each
// position weighing hourly_weight(period.days()): for a period of the
// dialogue, the accumulation is the dialogue's.
std::vector<SunPosition> hourly_positions(const Period &period, double lat);

} // namespace terralume

#endif
