// The driver of the illumination engine: the period dialogue, the loop over
// sun positions with its progress lines, and the end of the computation.
#include "accumulation.h"
#include "engine.h"
#include "final_treatment.h"
#include "phases.h"
#include "sun.h"

#include <new>

namespace terralume
{

namespace
{

struct Date {
    int32_t day;
    int32_t month;
};

// A month outside 1..12 has no day number: the date's two questions are asked
// again. Days are not compared with their month (31 February is 3 March), but
// stay within ten million either way so that day counts cannot overflow.
Date ask_date(Console &con, const char *which)
{
    for (;;) {
        Date d;
        d.day = ask_int(con, "\n\t\t\tday ? ", strf("%s : day", which));
        d.month = ask_int(con, "\t\t\tmonth ? ", strf("%s : month", which));
        if (d.month >= 1 && d.month <= 12 && d.day >= -10000000 && d.day <= 10000000)
            return d;
    }
}

// The progress lines of one sun position, the border rays' in their order.
const char kPositionProgress[] = "\n\tShadow computation "
                                 "\n\tCast shadow computation \n"
                                 "\t\tfirst line      \r     "
                                 "\t\tlast line     \r     "
                                 "\t\tfirst column     \r     "
                                 "\t\tlast column     \r     ";

[[noreturn]] void out_of_memory(const Run &r)
{
    throw RunFailure(strf("\n\tNot enough memory for the grids of %d lines and %d columns \n", r.nb_lig, r.nb_col));
}

} // namespace

void pos_sol(Run &r)
{
    Console &con = r.con;
    double dmax = 0;
    double dmin = 100000;

    con.out << "\n\t\tPeriod of illumination : ";
    con.out << "\n\n\t\tfirst day : ";
    const Date first = ask_date(con, "first day");
    con.out << "\n\t\tlast day : ";
    const Date last = ask_date(con, "last day");

    r.f2d.write("\n\n\tIllumination : ");
    r.f2d.write(strf("\n\t\tfrom day %d and month %d until day %d and month %d ", first.day, first.month, last.day,
                     last.month));

    const int32_t first_date = day_number(first.day, first.month);
    const int32_t last_date = day_number(last.day, last.month);
    const int32_t num_day = last_date - first_date + 1;
    r.num_spot = 11 * num_day;
    con.out << strf("\n\n\tfirst_date %d last_date %d ", first_date, last_date);
    con.out << strf("\n\tnumber_of_days %d num_spot %d ", num_day, r.num_spot);
    r.f2d.write(strf("\n\n\tNumber of days : %d from %d to %d ", num_day, first_date, last_date));
    r.f2d.write("\n\n\tSun position :");

    // The samples are in dtab now, and the window sums of the final treatment
    // write every cell of itab without reading it: meanwhile its memory goes
    // back to the system, for the engine's grids.
    r.itab.clear();
    const std::unique_ptr<Engine> engine = make_engine(r.engine);
    EngineOptions options;
    options.attenuation = r.attenuation;
    try {
        engine->begin(r.dtab, r.dsizepix, options);
    } catch (const std::bad_alloc &) {
        out_of_memory(r);
    }
    const Weight weight{static_cast<double>(r.num_spot), 1};
    for (int32_t day = first_date; day <= last_date && day - first_date < r.limits.days; day++) {
        const double date = day;
        const SunDay sun = sun_positions(date, r.lat);
        con.out << strf("\n\n\tDate : %d ", day);
        r.f2d.write(strf("\n\n\tDate : %d ", day));
        for (int h = 0; h < kHours; h++) {
            if (!sun_is_up(sun.asol[h]))
                continue;
            const std::string position = strf("\n\thour = %d elevation %lf azimuth %lf ", h, sun.asol[h], sun.zsol[h]);
            con.out << "\n" << position;
            r.f2d.write(position);
            r.elev = sun.asol[h];
            r.azim = sun.zsol[h];
            con.out << kPositionProgress;
            engine->add_position({r.elev, r.azim, weight});
            if (con.live)
                con.out.flush();
        }
    }
    r.dtab_res = engine->finish().illumination;

    scan_range(r.dtab_res, dmin, dmax);
    const double ddif = dmax - dmin;
    con.out << strf("\n\tdmax %lf dmin %lf ddif %lf ", dmax, dmin, ddif);
    if (r.norm == 0)
        r.f2d.write(strf("\n\n\n\tRaw data : Min = %lf Max = %lf \n\n", dmin, dmax));
    else if (r.norm == 1)
        r.f2d.write("\n\n\n\tNormalization : Min = 0 Max = 100 \n\n");
    else if (r.norm == 2)
        r.f2d.write("\n\n\n\tNormalization : Min = 0 Max = 255 \n\n");
    r.f2d.close();

    normalize(r.dtab_res, r.norm, dmin, ddif, r.tab);
    con.out << "\n\n\tFinal treatment \n";
    r.tab3 = Grid<unsigned char>(r.nb_lig, r.nb_col);
    if (r.tab3.empty())
        out_of_memory(r);
    pins(r.tab, r.itab, r.tab3);
}

} // namespace terralume
