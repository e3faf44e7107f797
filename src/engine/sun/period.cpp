#include "period.h"
#include "sun.h"

namespace terralume
{

int64_t Period::days() const
{
    int64_t n = 0;
    for (const DayRange &r : pieces)
        n += r.last - r.first + 1;
    return n;
}

Period period_between(int32_t first, int32_t last)
{
    if (first <= last)
        return {{{first, last}}};
    return {{{first, 365}, {1, last}}};
}

std::vector<SunPosition> hourly_positions(const Period &period, double lat)
{
    // The dialogue's divisor: 11 positions a day, as a 32-bit count.
    const Weight weight{static_cast<double>(static_cast<int32_t>(11 * period.days())), 1};
    std::vector<SunPosition> positions;
    for (const DayRange &r : period.pieces)
        for (int32_t day = r.first; day <= r.last; day++) {
            const SunDay sun = sun_positions(day, lat);
            for (int h = 0; h < kHours; h++)
                if (sun_is_up(sun.asol[h]))
                    positions.push_back({sun.asol[h], sun.zsol[h], weight});
        }
    return positions;
}

} // namespace terralume
