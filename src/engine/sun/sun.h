// Calendar and sun geometry.
//
// Day numbers are the ordinal day 1..365 of a common year (no leap years).
// Angles are degrees: elevation above the horizon, azimuth clockwise from
// north (0 north, 90 east, 180 south, 270 west). Hours are whole local solar
// hours 0..24, hour 12 being solar noon.
#ifndef TERRALUME_ENGINE_SUN_H
#define TERRALUME_ENGINE_SUN_H

#include <cstdint>

namespace terralume
{

// Day number of day d of month m (1..12): d plus the days of a common year
// before month m. The day is not compared with the length of its month, so
// 31 February is 62, the day number of 3 March.
int32_t day_number(int32_t d, int32_t m);

constexpr int kHours = 25; // hours 0 to 24

// An hour is a sun position when the sun stands higher than this [degree].
constexpr double kSunThreshold = 0.1;
inline bool sun_is_up(double asol) { return asol > kSunThreshold; }

struct SunDay {
    double decl = 0;          // declination [radian]
    double asol[kHours] = {}; // elevation at each hour [degree]
    double zsol[kHours] = {}; // azimuth at each hour [degree]
};

// The simplified model: the hour angle scales the whole noon term, so the sun
// crosses the horizon at 6 h and 18 h on every day at every latitude.
// date: day number; lat: latitude [degree], north positive.
SunDay sun_positions(double date, double lat);

// Azimuth [degree] from the cosine of the angle from south and the hour angle
// w [radian]. A cosine past +-1 (rounding) is taken as +-1; -1 means due
// north: 0 before noon, 360 from noon on.
double sun_azimuth(double coszsol, double w);

} // namespace terralume

#endif
