#include "elevation.h"
#include "phases.h"
#include "run.h"

namespace terralume
{

void parameters(Run &r)
{
    Console &con = r.con;
    int32_t min = 0;
    int32_t max = 0;
    sample_range(r.itab, min, max);
    con.out << strf("\n\tDynamic scale of the input DEM :\n\t\tMin = %d\t\tMax = %d \n", min, max);

    if (!r.descriptif_OK) {
        r.f1d.write(strf("%d\n%d\n%d\n", min, max, r.pix_size));
        r.f1d.close();
        File::commit({&r.f1d});
    }

    static const double kRescale[4] = {1.0, 10.0, 100.0, 1000.0};
    int32_t scale = 0;
    do
        scale = ask_int(con,
                        "\n\tAre these values :\n\t\t0 ====> in meters\n\t\t1 ====> in decimeters"
                        "\n\t\t2 ====> in centimeters\n\t\t3 ====> in millimeters\n\t\t",
                        "Are these values");
    while (scale < 0 || scale > 3);
    to_metres(r.itab, kRescale[scale], r.dtab);

    // Its whole part goes into the result descriptor as a 32-bit integer.
    do
        r.dsizepix = ask_double(con, "\n\tPixel size (decimal value in meters) ? ", "Pixel size");
    while (!run::usable_pixel_size(r.dsizepix));
    r.f2d.write(strf("%d\n", static_cast<int32_t>(r.dsizepix)));

    con.out << "\n\n\tPlease, enter your parameters : \n";
    r.lat = ask_double(con, "\n\t\tLatitud ? ", "Latitud");
    r.f2d.write(strf("\n\n\tParameters :\n\t\tLatitude : %lf ", r.lat));

    r.attenuation = ask_double(con, "\n\t\tCast shadow attenuation (per cent; i.e. 50) : ", "Cast shadow attenuation");
    r.attenuation = r.attenuation * 0.01;
    r.f2d.write(strf("\n\t\tCast shadow attenuation : %lf ", r.attenuation));

    do
        r.norm = ask_int(con,
                         "\n\t\tNormalization : \n\t\t\t0 ====> raw data"
                         "\n\t\t\t1 ====> per cent\n\t\t\t2 ====> grey tones (0, 255)\n\t\t\t",
                         "Normalization");
    while (r.norm < 0 || r.norm > 2);
}

} // namespace terralume
