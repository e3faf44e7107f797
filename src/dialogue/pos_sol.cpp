// The driver of the illumination engine: the period dialogue, the loop over
// sun positions with its progress lines, and the end of the computation.
#include "engine.h"
#include "phases.h"
#include "run.h"
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
    const Weight weight{static_cast<double>(r.num_spot), 1};
    std::vector<DayRange> days;
    if (first_date <= last_date)
        days.push_back({first_date, last_date});
    const run::Positions positions = run::Positions::hourly(days, r.lat, weight, r.limits.days);
    run::Progress progress;
    progress.day = [&](int32_t day) {
        con.out << strf("\n\n\tDate : %d ", day);
        r.f2d.write(strf("\n\n\tDate : %d ", day));
    };
    progress.position = [&](const SunPosition &p, const run::Moment &when) {
        const std::string position = strf("\n\thour = %d elevation %lf azimuth %lf ", when.hour, p.elev, p.azim);
        con.out << "\n" << position;
        r.f2d.write(position);
        r.elev = p.elev;
        r.azim = p.azim;
        con.out << kPositionProgress;
    };
    progress.done = [&](size_t) {
        if (con.live)
            con.out.flush();
    };
    try {
        r.dtab_res = run::compute(*engine, r.dtab, r.dsizepix, options, positions, progress).acc.illumination;
    } catch (const std::bad_alloc &) {
        out_of_memory(r);
    }

    const run::Range range = run::accumulation_range(r.dtab_res, nullptr);
    const double dmin = range.dmin;
    const double dmax = range.dmax;
    const double ddif = dmax - dmin;
    con.out << strf("\n\tdmax %lf dmin %lf ddif %lf ", dmax, dmin, ddif);
    if (r.norm == 0)
        r.f2d.write(strf("\n\n\n\tRaw data : Min = %lf Max = %lf \n\n", dmin, dmax));
    else if (r.norm == 1)
        r.f2d.write("\n\n\n\tNormalization : Min = 0 Max = 100 \n\n");
    else if (r.norm == 2)
        r.f2d.write("\n\n\n\tNormalization : Min = 0 Max = 255 \n\n");
    r.f2d.close();

    con.out << "\n\n\tFinal treatment \n";
    r.tab3 = Grid<unsigned char>(r.nb_lig, r.nb_col);
    if (r.tab3.empty())
        out_of_memory(r);
    run::index_image(r.dtab_res, r.norm, range, nullptr, 0, r.tab, r.itab, r.tab3);
}

} // namespace terralume
