// The driver of the illumination engine: the period dialogue, the loop over
// sun positions with its progress lines, and the end of the computation.
#include "accumulation.h"
#include "cast_shadow.h"
#include "final_treatment.h"
#include "illumination.h"
#include "parallel.h"
#include "phases.h"
#include "shading.h"
#include "sun.h"

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

// The progress line of each border's rays.
const struct {
    Border border;
    const char *progress;
} kBorders[] = {
    {Border::FirstLine, "\t\tfirst line      \r     "},
    {Border::LastLine, "\t\tlast line     \r     "},
    {Border::FirstColumn, "\t\tfirst column     \r     "},
    {Border::LastColumn, "\t\tlast column     \r     "},
};

// The fast engine's own grids. The samples are in dtab now and itab is next
// needed for the window sums of the final treatment, which write every cell:
// its memory serves the engine meanwhile.
void start_fast_engine(Run &r)
{
    r.itab = Grid<int32_t>();
    release_free_memory();
    r.bn = Grid<double>(r.nb_lig, r.nb_col);
    r.dtab_t = Grid<double>(r.nb_col, r.nb_lig);
    bool made = !r.bn.empty() && !r.dtab_t.empty();
    r.sweep_batch = sweep_batch();
    for (int q = 0; q < r.sweep_batch; q++) {
        r.tab_cs_threads[q] = mark_grids(r.nb_lig, r.nb_col, mark_grid_count());
        made = made && !r.tab_cs_threads[q].empty();
    }
    if (!made)
        throw RunFailure(strf("\n\tNot enough memory for the grids of %d lines and %d columns \n", r.nb_lig, r.nb_col));
    prepare_cells(r.dtab, r.dsizepix, r.bn, r.dtab_t);
}

// The engine's grids give way to itab for the final treatment.
void stop_fast_engine(Run &r)
{
    r.bn = Grid<double>();
    r.dtab_t = Grid<double>();
    for (auto &marks : r.tab_cs_threads)
        marks.clear();
    release_free_memory();
    r.itab = Grid<int32_t>(r.nb_lig, r.nb_col);
    if (r.itab.empty())
        throw RunFailure(strf("\n\tNot enough memory for the grids of %d lines and %d columns \n", r.nb_lig, r.nb_col));
}

// Adds the positions whose marks are made to the accumulation, in order.
void sweep_passes(Run &r)
{
    if (r.passes_made == 0)
        return;
    SunPass passes[kMaxSweepPositions];
    for (int32_t q = 0; q < r.passes_made; q++)
        passes[q] = {r.pass_elev[q], r.pass_azim[q], &r.tab_cs_threads[q]};
    shade_and_accumulate(r.dtab, r.bn, passes, r.passes_made, r.dsizepix, r.attenuation, r.num_spot, r.dtab_res);
    r.passes_made = 0;
}

// One sun position with the fast engine: the console shows the same progress
// lines as the straightforward passes. Its cast-shadow marks are made now;
// its shading is added with the next position's, in one sweep over the grid.
void fast_position(Run &r)
{
    r.con.out << "\n\tShadow computation ";
    r.con.out << "\n\tCast shadow computation \n";
    for (const auto &b : kBorders)
        r.con.out << b.progress;
    r.dif_alt = cast_geometry(r.nb_lig, r.nb_col, r.elev, r.azim, r.dsizepix).dif_alt;
    const int32_t q = r.passes_made++;
    cast_marks(r.dtab, r.dtab_t, r.elev, r.azim, r.dsizepix, r.tab_cs_threads[q]);
    r.pass_elev[q] = r.elev;
    r.pass_azim[q] = r.azim;
    if (r.passes_made == static_cast<int32_t>(r.sweep_batch))
        sweep_passes(r);
}

} // namespace

void cast_shadow(Run &r)
{
    const CastGeometry g = cast_geometry(r.nb_lig, r.nb_col, r.elev, r.azim, r.dsizepix);
    r.dif_alt = g.dif_alt;
    std::vector<RayList> rays = ray_lists(g.n, max_threads());
    if (rays.empty())
        throw RunFailure(strf("\n\tNot enough memory for the ray list of %d cells \n", g.n));
    // The marks describe the current sun position alone.
    r.tab_cs.fill(0);

    for (const auto &b : kBorders) {
        r.con.out << b.progress;
        cast_border(b.border, g, r.dtab, r.dsizepix, rays, r.tab_cs);
    }
}

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

    if (r.engine == EngineKind::Fast)
        start_fast_engine(r);
    for (int32_t day = first_date; day <= last_date && day - first_date < r.limits.days; day++) {
        const double date = day;
        const SunDay sun = sun_positions(date, r.lat);
        con.out << strf("\n\n\tDate : %d ", day);
        r.f2d.write(strf("\n\n\tDate : %d ", day));
        for (int h = 0; h < kHours; h++) {
            if (!(sun.asol[h] > 0.1))
                continue;
            const std::string position = strf("\n\thour = %d elevation %lf azimuth %lf ", h, sun.asol[h], sun.zsol[h]);
            con.out << "\n" << position;
            r.f2d.write(position);
            r.elev = sun.asol[h];
            r.azim = sun.zsol[h];
            if (r.engine == EngineKind::Fast) {
                fast_position(r);
                if (con.live)
                    con.out.flush();
                continue;
            }
            con.out << "\n\tShadow computation ";
            shadow(r.dtab, r.elev, r.azim, r.dsizepix, r.dtab_s);
            con.out << "\n\tCast shadow computation \n";
            cast_shadow(r);
            superp_cast(r.dtab_s, r.tab_cs, r.attenuation, r.num_spot, r.dtab_sp, r.dtab_res);
        }
    }

    if (r.engine == EngineKind::Fast) {
        sweep_passes(r);
        stop_fast_engine(r);
    }
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
    pins(r.tab, r.itab, r.tab3);
}

} // namespace terralume
