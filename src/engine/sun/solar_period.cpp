#include "solar_period.h"
#include "parallel.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <stdexcept>

namespace terralume
{

namespace
{

namespace chr = std::chrono;

constexpr double kPi = 3.14159265358979323846;
// Days of a period whose steps are evaluated together.
constexpr int kBlockDays = 64;

chr::year_month_day ymd_of(const CivilDate &d)
{
    return chr::year_month_day{chr::year{d.year}, chr::month{static_cast<unsigned>(d.month)},
                               chr::day{static_cast<unsigned>(d.day)}};
}

CivilDate date_of(chr::sys_days d)
{
    const chr::year_month_day ymd{d};
    return {static_cast<int>(ymd.year()), static_cast<int>(static_cast<unsigned>(ymd.month())),
            static_cast<int>(static_cast<unsigned>(ymd.day()))};
}

// Day of the year, 1 to 366.
int day_of_year(const CivilDate &d)
{
    const chr::sys_days start{chr::year{d.year} / 1 / 1};
    return static_cast<int>((chr::sys_days{ymd_of(d)} - start).count()) + 1;
}

// TT - UT of a day: the setting, or the polynomials at the day's middle.
double delta_t_of(const CivilDate &d, const SolarSettings &s)
{
    if (!std::isnan(s.delta_t))
        return s.delta_t;
    const bool leap = chr::year{d.year}.is_leap();
    return delta_t(d.year + (day_of_year(d) - 0.5) / (leap ? 366 : 365));
}

// Julian day (UT) of a local time of day [minute] on a local date.
double instant(const CivilDate &d, double minutes, double utc_offset)
{
    return julian_day(d.year, d.month, d.day) + (minutes - utc_offset * 60) / 1440;
}

bool in_range(double v, double lo, double hi) { return std::isfinite(v) && v >= lo && v <= hi; }

std::string clock(double hours)
{
    const int s = static_cast<int>(std::lround(std::clamp(hours, 0.0, 24.0) * 3600));
    char buf[32];
    std::snprintf(buf, sizeof buf, "%02d:%02d:%02d", s / 3600, s / 60 % 60, s % 60);
    return buf;
}

std::string day_text(const SunDayEvents &e)
{
    std::string t = format_date(e.date);
    if (std::isnan(e.sunrise) && std::isnan(e.sunset))
        return t + (e.up_at_midnight ? " sun up all day" : " sun down all day");
    t += " sunrise " + (std::isnan(e.sunrise) ? std::string("none") : clock(e.sunrise));
    t += " sunset " + (std::isnan(e.sunset) ? std::string("none") : clock(e.sunset));
    return t;
}

} // namespace

bool parse_date(const std::string &text, CivilDate &date)
{
    if (text.size() != 10 || text[4] != '-' || text[7] != '-')
        return false;
    for (size_t k : {0, 1, 2, 3, 5, 6, 8, 9})
        if (text[k] < '0' || text[k] > '9')
            return false;
    const CivilDate d{std::stoi(text.substr(0, 4)), std::stoi(text.substr(5, 2)), std::stoi(text.substr(8, 2))};
    if (d.year < 1 || !ymd_of(d).ok())
        return false;
    date = d;
    return true;
}

std::string format_date(const CivilDate &date)
{
    char buf[32];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d", date.year, date.month, date.day);
    return buf;
}

double nominal_utc_offset(double lon) { return std::round(lon / 15); }

std::string check(const SolarSettings &s)
{
    if (!ymd_of(s.from).ok() || !ymd_of(s.to).ok())
        return "the period's dates must be dates of the calendar";
    if (s.from.year < 1900 || s.to.year > 2200)
        return "the period must lie within the years 1900 to 2200";
    if (chr::sys_days{ymd_of(s.to)} < chr::sys_days{ymd_of(s.from)})
        return "the period ends before it starts";
    if (s.step_minutes < 1 || s.step_minutes > 60 || 1440 % s.step_minutes != 0)
        return "the step must divide a day: 1 to 60 minutes, a divisor of 1440";
    if (!in_range(s.utc_offset, -14, 14) || s.utc_offset * 60 != std::round(s.utc_offset * 60))
        return "the UTC offset must be whole minutes within -14 to 14 hours";
    if (!in_range(s.place.lat, -90, 90))
        return "the latitude must be within -90 to 90 degrees";
    if (!in_range(s.place.lon, -180, 180))
        return "the longitude must be within -180 to 180 degrees";
    if (!in_range(s.place.height, -1000, 10000))
        return "the place's height must be within -1000 to 10000 metres";
    if (!in_range(s.air.pressure, 1, 2000))
        return "the pressure must be within 1 to 2000 hPa";
    if (!in_range(s.air.temperature, -100, 100))
        return "the temperature must be within -100 to 100 degrees Celsius";
    if (!in_range(s.linke, 0.5, 20))
        return "the Linke turbidity factor must be within 0.5 to 20";
    if (!std::isnan(s.delta_t) && !in_range(s.delta_t, -3600, 3600))
        return "TT - UT must be within an hour";
    return "";
}

ClearSky clear_sky(int day, double elevation, double linke)
{
    const double jp = 2 * kPi * day / 365.25; // the day angle
    const double eps = 1 + 0.03344 * std::cos(jp - 0.048869);
    ClearSky c;
    c.irradiance = 1367 * eps;
    c.air_mass = 1 / (std::sin(elevation * (kPi / 180)) + 0.50572 * std::pow(elevation + 6.07995, -1.6364));
    c.linke = linke;
    return c;
}

SunDayEvents sun_day_events(const CivilDate &date, const SolarSettings &s)
{
    const double dt = delta_t_of(date, s);
    auto up = [&](double minutes) {
        return solar_position(instant(date, minutes, s.utc_offset), dt, s.place, s.air).elevation > 0;
    };
    // Every two minutes, then by halves to a tenth of a millisecond.
    constexpr int kScan = 2;
    auto crossing = [&](double a, double b) {
        const bool at_a = up(a);
        for (int k = 0; k < 20; k++) {
            const double mid = 0.5 * (a + b);
            (up(mid) == at_a ? a : b) = mid;
        }
        return 0.5 * (a + b) / 60;
    };
    SunDayEvents e;
    e.date = date;
    e.up_at_midnight = up(0);
    bool before = e.up_at_midnight;
    for (int m = kScan; m <= 1440; m += kScan) {
        const bool now = up(m);
        if (now && !before && std::isnan(e.sunrise))
            e.sunrise = crossing(m - kScan, m);
        if (!now && before)
            e.sunset = crossing(m - kScan, m);
        before = now;
    }
    return e;
}

long long solar_instants(const SolarSettings &s)
{
    // The dates and the step alone: the place may not be known yet.
    if (!ymd_of(s.from).ok() || !ymd_of(s.to).ok() || chr::sys_days{ymd_of(s.to)} < chr::sys_days{ymd_of(s.from)} ||
        s.step_minutes < 1 || s.step_minutes > 1440 || 1440 % s.step_minutes != 0)
        return 0;
    const long long days = (chr::sys_days{ymd_of(s.to)} - chr::sys_days{ymd_of(s.from)}).count() + 1;
    return days * (1440 / s.step_minutes);
}

uint64_t solar_period_bytes(const SolarSettings &s)
{
    // The positions and their dates, at most one an instant, and a block of instants with
    // their suns.
    const uint64_t block = static_cast<uint64_t>(kBlockDays) * static_cast<uint64_t>(1440 / s.step_minutes) *
                           (sizeof(SolarPosition) + 3 * sizeof(double));
    return static_cast<uint64_t>(solar_instants(s)) * (sizeof(SunPosition) + sizeof(CivilDate)) + block;
}

SolarPeriod solar_period(const SolarSettings &s)
{
    const std::string wrong = check(s);
    if (!wrong.empty())
        throw std::invalid_argument(wrong);

    // Every step of every day, by day and night, evaluated apart, a block of
    // days at a time so that only the positions with the sun up are kept.
    struct Instant {
        double jd;
        double dt;
        int day;
        CivilDate date;
    };
    const int steps = 1440 / s.step_minutes;
    const double hours = s.step_minutes / 60.0;
    const chr::sys_days first{ymd_of(s.from)};
    const chr::sys_days last{ymd_of(s.to)};
    SolarPeriod period;
    long long count = 0;
    std::vector<Instant> instants;
    std::vector<SolarPosition> suns;
    for (chr::sys_days block = first; block <= last; block += chr::days{kBlockDays}) {
        instants.clear();
        for (chr::sys_days d = block; d <= last && d < block + chr::days{kBlockDays}; d += chr::days{1}) {
            const CivilDate date = date_of(d);
            const double dt = delta_t_of(date, s);
            const int day = day_of_year(date);
            for (int k = 0; k < steps; k++)
                instants.push_back({instant(date, (k + 0.5) * s.step_minutes, s.utc_offset), dt, day, date});
        }
        const long long n_block = static_cast<long long>(instants.size());
        suns.resize(instants.size());
#pragma omp parallel for schedule(static)
        for (long long n = 0; n < n_block; n++) {
            const Instant &t = instants[static_cast<size_t>(n)];
            suns[static_cast<size_t>(n)] = solar_position(t.jd, t.dt, s.place, s.air);
        }
        for (size_t n = 0; n < instants.size(); n++)
            if (suns[n].elevation > 0) {
                period.positions.emplace_back(suns[n].elevation, suns[n].azimuth, Weight{1, hours},
                                              clear_sky(instants[n].day, suns[n].elevation, s.linke));
                period.dates.push_back(instants[n].date);
            }
        count += n_block;
    }
    const double divisor = static_cast<double>(period.positions.size());
    for (SunPosition &p : period.positions)
        p.weight.divisor = divisor;

    SolarReport &r = period.report;
    r.step_minutes = s.step_minutes;
    r.utc_offset = s.utc_offset;
    r.place = s.place;
    r.air = s.air;
    r.linke = s.linke;
    r.instants = count;
    r.positions = static_cast<long long>(period.positions.size());
    r.first_day = sun_day_events(s.from, s);
    r.last_day = sun_day_events(s.to, s);
    return period;
}

std::vector<std::pair<std::string, std::string>> report_items(const SolarReport &r)
{
    char buf[160];
    std::vector<std::pair<std::string, std::string>> items;
    items.emplace_back("sun_model", "solar: the Solar Position Algorithm of Reda and Andreas (NREL)");
    if (r.air.refraction)
        std::snprintf(buf, sizeof buf, "%.2f hPa, %.1f C", r.air.pressure, r.air.temperature);
    else
        std::snprintf(buf, sizeof buf, "off");
    items.emplace_back("refraction", buf);
    std::snprintf(buf, sizeof buf, "ESRA clear sky, Linke turbidity %.2f", r.linke);
    items.emplace_back("beam_model", buf);
    std::snprintf(buf, sizeof buf, "%d min, each position at the middle of its step", r.step_minutes);
    items.emplace_back("step", buf);
    std::snprintf(buf, sizeof buf, "latitude %.6f, longitude %.6f, height %.1f m", r.place.lat, r.place.lon,
                  r.place.height);
    items.emplace_back("place", buf);
    const long minutes = std::lround(std::fabs(r.utc_offset) * 60);
    std::snprintf(buf, sizeof buf, "UTC%c%02ld:%02ld", r.utc_offset < 0 ? '-' : '+', minutes / 60, minutes % 60);
    items.emplace_back("time_zone", buf);
    std::snprintf(buf, sizeof buf, "%lld of %lld steps, the sun above the horizon", r.positions, r.instants);
    items.emplace_back("positions", buf);
    items.emplace_back("first_day", day_text(r.first_day));
    items.emplace_back("last_day", day_text(r.last_day));
    return items;
}

} // namespace terralume
