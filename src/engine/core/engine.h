// The illumination engine: sun positions with their weights in, the
// accumulated light of every cell out. It knows nothing of dialogues, files
// or consoles.
//
//     auto engine = make_engine(EngineKind::Fast);
//     engine->begin(dtab, dsizepix, options);     // elevations [metre], cell side [metre]
//     for (each sun position)
//         engine->add_position({elev, azim, weight});
//     Accumulation acc = engine->finish();
//
// Two implementations give the same bits: the straightforward passes (self-
// shading, cast-shadow rays swept one list at a time, superposition), kept as
// the reference, and the fast engine (rays walked in lockstep, one fused sweep
// for several positions). The result never depends on the number of threads.
#ifndef TERRALUME_ENGINE_ENGINE_H
#define TERRALUME_ENGINE_ENGINE_H

#include "grid.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace terralume
{

enum class EngineKind { Fast, Reference };

// How cast shadows are found. Rays: parallel rays from the borders, each
// read at cell centres along a digital line (the dialogue's method). Exact:
// the terrain is the bilinear surface through the cell centres, and a cell is
// in cast shadow when it rises above the straight line from the cell's centre
// toward the sun (exact_shadow.h).
enum class ShadowMethod { Rays, Exact };

// The plane of a cell that faces the sun. Dialogue: through the cell, its
// next line and its next column (the plane of a point half a cell to the
// south-east; the last line and column have none). Horn: the 3 x 3 gradient
// of Horn (1981) centred on the cell, as GIS tools take slope and aspect; a
// neighbour outside the grid or without data is extrapolated along its line
// or column from the two cells before it (so a plane keeps its slope to its
// very corners), or, where it cannot be (across a single line or column),
// is taken as the cell of the middle line or column, or the centre.
enum class Slope { Dialogue, Horn };

// Where a grid lies in a larger raster whose exact cast shadows it must give
// bit for bit (a tile read with its halo): its first line and column there,
// and that raster's size. All zero: the grid is the whole raster.
struct GridOrigin {
    int32_t line = 0;
    int32_t column = 0;
    int32_t lines = 0;
    int32_t columns = 0;
};

// A window of a grid: its first line and column, and its size. No lines:
// the whole grid.
struct CellWindow {
    int32_t line = 0;
    int32_t column = 0;
    int32_t lines = 0;
    int32_t columns = 0;
};

struct EngineOptions {
    // The fraction of its light a cell in cast shadow keeps (0.5 for 50 %).
    double attenuation = 0.5;
    // Also accumulate the hours of direct sun: for each position, its hours
    // where the cell faces the sun (positive incidence) and is not in cast
    // shadow.
    bool sun_hours = false;
    // Also accumulate the clear-sky beam irradiation of every cell's surface
    // [Wh/m2]: for each position, the beam normal irradiance at the cell's
    // elevation (from the position's ClearSky terms) times the cosine of
    // incidence, times `beam_attenuation` in cast shadow, times its hours.
    bool beam = false;
    // The fraction of its beam a cell in cast shadow keeps (0: none).
    double beam_attenuation = 0;
    // Also accumulate the clear-sky diffuse irradiation of every cell's
    // surface and the global irradiation of the horizontal at the cell
    // (diffuse.h) [Wh/m2], each cell's sky view taken from `sky_view`
    // (nb_lig x nb_col, alive and unchanged until finish()).
    bool diffuse = false;
    const Grid<double> *sky_view = nullptr;
    // Real skies cell by cell: the ratios of real to clear-sky beam and
    // diffuse of every cell (nb_lig x nb_col, alive and unchanged until
    // finish()), each multiplying the beam normal irradiance, or the diffuse
    // of the horizontal, after the position's own index; null for none.
    const Grid<double> *beam_index = nullptr;
    const Grid<double> *diffuse_index = nullptr;
    ShadowMethod shadows = ShadowMethod::Rays;
    Slope slope = Slope::Dialogue;
    // With the exact method: the Earth's curvature lowers terrain d metres
    // away by d^2 / (2 x 6 371 000 m). The rays ignore it.
    bool curvature = true;
    // The exact method's rays stand on this raster's grid (and its steps are
    // counted from that raster's border), so that a part of the raster gives
    // the shadows of the whole wherever its halo holds them.
    GridOrigin origin;
    // With the exact method: the cells whose results are wanted (a tile's
    // core, inside the halo read around it). The fast engine tests the cast
    // shadows and accumulates the light of these alone, and leaves the
    // others zero (in shadow_marks() too); their rays are walked all the
    // same, so the wanted cells take the values of a computation over every
    // cell. The reference engine computes every cell.
    CellWindow wanted;
    // Test seam: positions one sweep of the fast engine adds (0: as many as
    // its memory budget allows). The result is the same for any value.
    int sweep_batch = 0;
    // Test seam: the fast engine computes the beam normal irradiance once per
    // distinct cell elevation and position when the elevations take few
    // values (0), always (1) or never (-1). The result is the same.
    int beam_by_levels = 0;
};

// How one sun position counts. Its illumination (255.999 times the cosine of
// incidence, times the attenuation in cast shadow) is added to the
// accumulation divided by `divisor`: the dialogue divides by 11 times the
// days of its period. `hours` is the time the position stands for.
struct Weight {
    double divisor = 1;
    double hours = 1;
};

// The clear sky of one position, for the beam (the ESRA model): the beam
// normal irradiance at a cell is irradiance x exp(-0.8662 linke m dR(m)), m
// being air_mass times the cell's pressure ratio exp(-z / 8434.5) and dR the
// Rayleigh optical thickness at m.
struct ClearSky {
    double irradiance = 0; // [W/m2] extraterrestrial, on a plane normal to the sun
    double air_mass = 0;   // relative optical air mass at sea level
    double linke = 3;      // Linke turbidity factor, for an air mass of 2
    // Real skies: the ratios of real to clear-sky beam and diffuse.
    double beam_index = 1;
    double diffuse_index = 1;
};

struct SunPosition {
    SunPosition() = default;
    SunPosition(double e, double a, Weight w, ClearSky s = {}) : elev(e), azim(a), weight(w), sky(s) {}
    double elev = 0; // [degree] above the horizon
    double azim = 0; // [degree] clockwise from north: 90 toward the last column
    Weight weight;
    ClearSky sky; // used when the beam is accumulated
};

// What a computation gathered; each grid nb_lig x nb_col, the optional ones
// empty unless asked for.
struct Accumulation {
    Grid<double> illumination;
    Grid<double> sun_hours;  // [hour]
    Grid<double> beam;       // [Wh/m2]
    Grid<double> diffuse;    // [Wh/m2]
    Grid<double> horizontal; // [Wh/m2] global irradiation of the horizontal, unshaded, for the reflected light
};

class Engine
{
  public:
    virtual ~Engine() = default;

    // Bytes the engine's own grids and work lists take during a computation
    // over nb_lig x nb_col cells with these options (the elevations, held by
    // the caller, not included), for the thread count it will run with, the
    // allocator's overhead of every row included.
    virtual uint64_t bytes_needed(int32_t nb_lig, int32_t nb_col, const EngineOptions &options) const = 0;

    // Starts a computation over `dtab` (elevations [metre], at least one cell)
    // with cells `dsizepix` metres wide (positive and finite). `dtab` must
    // stay alive and unchanged until finish(). Throws std::bad_alloc when the
    // engine's grids cannot be made.
    virtual void begin(const Grid<double> &dtab, double dsizepix, const EngineOptions &options) = 0;

    // Adds one position to the accumulation, in order. The engine may hold it
    // back and add several at once; the bits are the same.
    virtual void add_position(const SunPosition &p) = 0;

    // The cast-shadow marks of one position (1 in cast shadow, else 0) over
    // the grid of the current computation; the accumulation is not touched.
    virtual Grid<unsigned char> shadow_marks(double elev, double azim) = 0;

    // Adds what is held back and hands over the accumulation; the engine's
    // grids are released.
    virtual Accumulation finish() = 0;

    // Adds what is held back and hands over the additive grids (the hours,
    // the beam, the diffuse and the horizontal's, as asked) accumulated since
    // begin() or the last cut, then starts them again from zero; the
    // illumination goes on accumulating. Each cell's values are those of a
    // computation over the positions since then alone. Throws
    // std::bad_alloc when the new grids cannot be made.
    virtual Accumulation cut() = 0;
};

std::unique_ptr<Engine> make_engine(EngineKind kind);

// For the engines' cut(): the hours, beam, diffuse and horizontal grids of
// `acc` handed over, each replaced by a zero-filled grid of its size (the
// illumination kept). Throws std::bad_alloc when one cannot be made.
Accumulation cut_accumulation(Accumulation &acc);

// Instruction sets of the fast engine: every one this processor runs, the
// portable one last. The widest is used unless another is chosen; all give
// the same bits.
std::vector<std::string> instruction_sets();
// Chooses one of instruction_sets(); false (and no change) for any other name.
bool use_instruction_set(const std::string &name);
std::string instruction_set();

} // namespace terralume

#endif
