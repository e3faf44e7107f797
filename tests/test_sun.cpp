#include "sun.h"

#include <cmath>
#include <gtest/gtest.h>

using namespace terralume;

TEST(DayNumber, CommonYearWithoutMonthLengthCheck)
{
    EXPECT_EQ(day_number(1, 1), 1);
    EXPECT_EQ(day_number(22, 3), 81);
    EXPECT_EQ(day_number(21, 6), 172);
    EXPECT_EQ(day_number(31, 12), 365);
    EXPECT_EQ(day_number(1, 2), 32);
    EXPECT_EQ(day_number(31, 2), 62); // 3 March
    EXPECT_EQ(day_number(3, 3), 62);
    EXPECT_EQ(day_number(15, 1), 15);
    EXPECT_EQ(day_number(14, 2), 45);
}

TEST(SunModel, SampleTable)
{
    struct Row {
        double lat;
        int day, hour;
        double elev, azim;
    };
    const Row rows[] = {
        {45, 81, 6, 0.0, 90.0},   {45, 81, 9, 30.0, 125.3},  {45, 81, 12, 45.0, 180.0},  {45, 81, 15, 30.0, 234.7},
        {45, 172, 7, 13.9, 70.6}, {45, 172, 9, 41.1, 97.2},  {45, 172, 12, 68.4, 180.0}, {45, 355, 9, 15.1, 148.4},
        {0, 172, 9, 40.4, 58.5},  {-30, 172, 9, 24.9, 39.2},
    };
    for (const Row &r : rows) {
        const SunDay s = sun_positions(r.day, r.lat);
        SCOPED_TRACE(testing::Message() << "lat " << r.lat << " day " << r.day << " hour " << r.hour);
        EXPECT_NEAR(s.asol[r.hour], r.elev, 0.05);
        EXPECT_NEAR(s.zsol[r.hour], r.azim, 0.05);
    }
}

TEST(SunModel, DeclinationAndDayShape)
{
    EXPECT_EQ(sun_positions(81, 45).decl, 0.0);
    const double deg = std::atan(1.0) / 45;
    const double d172 = sun_positions(172, 45).decl / deg;
    EXPECT_LT(d172, 23.45);
    EXPECT_GT(d172, 23.44);
    EXPECT_NEAR(sun_positions(355, 45).decl / deg, -23.45, 0.01);

    for (double lat : {-60.0, 0.0, 36.6, 45.0}) {
        const SunDay s = sun_positions(200, lat);
        // The horizon is crossed at 6 h and 18 h, whatever the day and latitude.
        EXPECT_NEAR(s.asol[6], 0, 1e-12);
        EXPECT_NEAR(s.asol[18], 0, 1e-12);
        EXPECT_EQ(s.asol[0], s.asol[24]);
        for (int k = 1; k <= 5; k++) {
            EXPECT_NEAR(s.asol[12 - k], s.asol[12 + k], 1e-9);
            EXPECT_NEAR(s.zsol[12 - k] + s.zsol[12 + k], 360, 1e-9);
        }
    }
}

TEST(SunModel, ZenithAndNadirHaveNoAzimuth)
{
    // Latitude 0 at the equinox: the noon sun stands at the zenith, midnight at the nadir.
    const SunDay s = sun_positions(81, 0);
    EXPECT_EQ(s.asol[12], 90);
    EXPECT_EQ(s.zsol[12], 180);
    EXPECT_EQ(s.asol[0], -90);
    EXPECT_EQ(s.zsol[0], 180);
    EXPECT_EQ(s.asol[24], -90);
    for (int h = 7; h <= 17; h++)
        EXPECT_FALSE(std::isnan(s.asol[h]) || std::isnan(s.zsol[h])) << h;
}

TEST(SunModel, AzimuthClampKeepsNorthernSunInTheNorth)
{
    EXPECT_EQ(sun_azimuth(-1.0000000000000002, 0), 360);
    EXPECT_EQ(sun_azimuth(-1, 0), 360);
    EXPECT_EQ(sun_azimuth(-1, -0.2), 0);
    EXPECT_EQ(sun_azimuth(1.0000000000000002, 0), 180);
    EXPECT_EQ(sun_azimuth(1, -0.2), 180);
    EXPECT_EQ(sun_azimuth(0, -0.2), 90);
    EXPECT_EQ(sun_azimuth(0, 0.2), 270);
    EXPECT_NEAR(sun_azimuth(-0.9999999, 0.1), 359.97, 0.01);

    // Noon sun north of the zenith: southern latitude in June, tropics in June.
    for (double lat : {-30.0, 10.0}) {
        const SunDay s = sun_positions(172, lat);
        const double noon = s.zsol[12];
        EXPECT_TRUE(noon > 359.99 || noon < 0.01) << lat << " " << noon;
        EXPECT_LT(s.zsol[9], 90) << lat;
        EXPECT_GT(s.zsol[15], 270) << lat;
    }
}

TEST(SunModel, HighLatitudeWinterHasNightHoursAboveHorizon)
{
    // |lat - decl| beyond 90.4 degrees: the model's sun is up at the night hours.
    const SunDay s = sun_positions(355, 70);
    int up = 0;
    for (int h = 0; h < kHours; h++)
        up += s.asol[h] > 0.1;
    EXPECT_EQ(up, 12);
    EXPECT_LT(s.asol[12], 0);
}
