// The sun positions of a period for the solar model: every step of every
// local day, the sun placed at the middle of its step by the Solar Position
// Algorithm (solar.h), kept when it stands above the horizon, with the
// weight and the clear sky the engine needs; and what a run reports of them.
//
//     SolarSettings s;                      // dates, step, zone, place, air
//     const SolarPeriod period = solar_period(s);
//     for (const SunPosition &p : period.positions)
//         engine->add_position(p);
#ifndef TERRALUME_ENGINE_SOLAR_PERIOD_H
#define TERRALUME_ENGINE_SOLAR_PERIOD_H

#include "engine.h"
#include "solar.h"

#include <cstdint>
#include <limits>
#include <string>
#include <utility>
#include <vector>

namespace terralume
{

struct CivilDate {
    int year = 2000;
    int month = 1;
    int day = 1;
};

// A date written YYYY-MM-DD, of a year 1 to 9999; false unless it is one.
bool parse_date(const std::string &text, CivilDate &date);
std::string format_date(const CivilDate &date);

// The nominal time zone of a longitude [degree, east positive]: round(lon / 15) hours.
double nominal_utc_offset(double lon);

struct SolarSettings {
    CivilDate from;        // first local day of the period
    CivilDate to;          // last local day, included
    int step_minutes = 10; // a divisor of 1440, 1 to 60
    double utc_offset = 0; // [hour] local time minus UTC, -14 to 14, whole minutes
    Place place;
    Atmosphere air;
    double linke = 3.0; // Linke turbidity factor
    // TT - UT [second]; NaN: delta_t() of the day.
    double delta_t = std::numeric_limits<double>::quiet_NaN();
};

// Empty when the settings make a period; else what is wrong with them.
std::string check(const SolarSettings &s);

// When the sun crosses the horizon on one local day: the first rise and the
// last set [hour, local time 0 to 24], NaN when there is none; the horizon is
// the one the positions use (the sun's centre at elevation 0).
struct SunDayEvents {
    CivilDate date;
    double sunrise = std::numeric_limits<double>::quiet_NaN();
    double sunset = std::numeric_limits<double>::quiet_NaN();
    bool up_at_midnight = false; // the sun is above the horizon at 0 h
};

struct SolarReport {
    int step_minutes = 0;
    double utc_offset = 0;
    Place place;
    Atmosphere air;
    double linke = 0;
    long long instants = 0;  // steps of the period, by day and night
    long long positions = 0; // those with the sun above the horizon
    SunDayEvents first_day;
    SunDayEvents last_day;
};

struct SolarPeriod {
    // In time order. Each weighs 1 / positions in the illumination (its mean
    // over the positions) and stands for its step's hours.
    std::vector<SunPosition> positions;
    std::vector<CivilDate> dates; // the local day of each position
    SolarReport report;
};

// The positions of a period. Throws std::invalid_argument when check(s) fails.
SolarPeriod solar_period(const SolarSettings &s);

// The steps of a period, by day and night, from its dates and step alone (0
// when they make no period), and the most memory solar_period(s) takes, its
// positions included.
long long solar_instants(const SolarSettings &s);
uint64_t solar_period_bytes(const SolarSettings &s);

// The events of one local day.
SunDayEvents sun_day_events(const CivilDate &date, const SolarSettings &s);

// The clear sky of the ESRA model at a position: the extraterrestrial
// irradiance of the day of the year `day` (1 to 366) and the relative
// optical air mass at sea level for the sun at `elevation` [degree] (Kasten
// and Young); `linke` passed on.
ClearSky clear_sky(int day, double elevation, double linke);

// The report as name and value pairs, in order, for a run's record.
std::vector<std::pair<std::string, std::string>> report_items(const SolarReport &r);

} // namespace terralume

#endif
