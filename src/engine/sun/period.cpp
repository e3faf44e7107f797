#include "period.h"

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

Weight hourly_weight(int64_t days) { return {static_cast<double>(static_cast<int32_t>(11 * days)), 1}; }

std::vector<SunPosition> hourly_positions(const Period &period, double lat)
{
    std::vector<SunPosition> positions;
    visit_hourly_positions(
        period.pieces, lat, hourly_weight(period.days()), INT64_MAX, [](int32_t) {},
        [&positions](const SunPosition &p, int) { positions.push_back(p); });
    return positions;
}

} // namespace terralume
