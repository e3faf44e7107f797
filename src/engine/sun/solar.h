// The sun's position seen from a place on the Earth at an instant: the Solar
// Position Algorithm of Reda and Andreas (NREL), stated to 0.0003 degree from
// the year -2000 to 6000. Angles are degrees: elevation above the horizon,
// azimuth clockwise from north (0 north, 90 east, 180 south, 270 west).
//
//     const double jd = julian_day(2026, 6, 21.5);          // 21 June 2026, 12 h UTC
//     const SolarPosition p = solar_position(jd, delta_t(2026.5), place, air);
#ifndef TERRALUME_ENGINE_SOLAR_H
#define TERRALUME_ENGINE_SOLAR_H

namespace terralume
{

// Where the sun is seen from.
struct Place {
    double lat = 0;    // [degree] north positive
    double lon = 0;    // [degree] east positive
    double height = 0; // [metre] above the ellipsoid (sea level will do)
};

// The air the sun is seen through, for the refraction at low elevations.
struct Atmosphere {
    double pressure = 1013.25; // [hPa] mean local pressure
    double temperature = 15;   // [degree Celsius] mean local temperature
    bool refraction = true;    // false: the geometric elevation
};

// The terms of one evaluation, in the algorithm's order; the last three are
// what a caller wants.
struct SolarPosition {
    double jd, jde;          // Julian day (UT) and Julian ephemeris day
    double l, b, r;          // heliocentric longitude, latitude [degree], radius [AU]
    double dpsi, deps;       // nutation in longitude and obliquity [degree]
    double eps;              // true obliquity of the ecliptic [degree]
    double lambda;           // apparent longitude of the sun [degree]
    double nu;               // apparent sidereal time at Greenwich [degree]
    double alpha, delta;     // geocentric right ascension and declination [degree]
    double h;                // observer's local hour angle [degree]
    double alpha_p, delta_p; // topocentric right ascension and declination [degree]
    double h_p;              // topocentric local hour angle [degree]
    double e0;               // topocentric elevation without refraction [degree]
    double elevation;        // with the refraction, unless it is switched off [degree]
    double zenith;           // 90 - elevation [degree]
    double azimuth;          // clockwise from north, 0 to 360 [degree]
};

// Julian day of a Gregorian calendar date; `day` carries the time of day as
// its fraction (day 1.5 is noon of the first).
double julian_day(int year, int month, double day);

// TT - UT [second] for a decimal year (2026.5 is mid-2026): the polynomials of
// Espenak and Meeus, fitted to the observed values from 1950 to 2005 and
// extrapolated after. Past 2020 they run some seconds above the observed
// values; a minute of error moves the sun by less than 0.001 degree.
double delta_t(double year);

// The sun seen from `place` at the instant `jd` (Julian day, UT), with
// `delta_t` = TT - UT [second]. The refraction (Reda and Andreas' formula for
// the pressure and temperature given) is added while the sun's upper limb can
// still be above the horizon (geometric elevation above -0.8334 degree).
SolarPosition solar_position(double jd, double delta_t, const Place &place, const Atmosphere &air);

} // namespace terralume

#endif
