#include "tiles.h"
#include "command_line.h"
#include "commit.h"
#include "computation.h"
#include "exact_shadow.h"
#include "nodata.h"
#include "output.h"
#include "parallel.h"
#include "period.h"
#include "raster.h"
#include "run.h"
#include "sky_options.h"
#include "solar_period.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cpl_json.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <gdal_priv.h>
#include <gdal_utils.h>
#include <iterator>
#include <limits>
#include <new>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace terralume::cli
{

namespace
{

namespace fs = std::filesystem;

constexpr int kPlanVersion = 1;
// Cells past the longest shadow that a halo takes besides: the exact
// shadows' first steps on a cell's own line, the 3 x 3 plane of a cell, and
// the shadow lines of the terrain just beyond, which must stay below those
// of the halo.
constexpr int32_t kHaloMargin = 8;
// Lines of the DEM read at a time when the plan scans it.
constexpr int64_t kStripCells = int64_t{1} << 22;

std::string exact_text(double v)
{
    char s[40];
    std::snprintf(s, sizeof s, "%.17g", v);
    return s;
}

double number_of(const std::string &text, const std::string &what)
{
    char *end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    if (text.empty() || end == nullptr || *end != '\0')
        throw Failure{what + ": " + text + " is not a number"};
    return v;
}

std::optional<OutputKind> kind_of(const std::string &name)
{
    for (const KindName &k : kKindNames)
        if (name == k.name)
            return k.kind;
    return std::nullopt;
}

// OUTPUT itself for one kind; OUTPUT's stem + _KIND + its extension for several.
std::string output_path(const Options &o, OutputKind kind)
{
    if (o.kinds.size() == 1)
        return o.output;
    const fs::path p(o.output);
    return (p.parent_path() / (p.stem().string() + "_" + kind_name(kind) + p.extension().string())).string();
}

// What tiles cannot give bit for bit is refused.
void check_tileable(const Options &o)
{
    if (o.shadows == ShadowMethod::Rays)
        throw Failure{"--shadows rays: its rays start at the raster's border, so tiles cannot give its result; "
                      "take --shadows exact (the default) with --tile"};
    if (std::find(o.kinds.begin(), o.kinds.end(), OutputKind::Index) != o.kinds.end())
        throw Failure{"--output index: the index is stretched over the whole raster's range, which no tile knows; "
                      "write illumination by tiles instead"};
    if (o.keep_grid)
        throw Failure{"--keep-grid: tiles are computed on the DEM's own grid; reproject the DEM first"};
    if (o.sky.series != run::Series::Whole)
        throw Failure{"--series: tiles write one band, the whole period; run the series on the whole raster"};
    if (!o.sky.beam_index_raster.empty() || !o.sky.albedo_raster.empty())
        throw Failure{std::string(o.sky.albedo_raster.empty() ? "--clear-sky-index" : "--albedo") +
                      ": tiles read no raster of the sky; give the value itself, or run on the whole raster"};
    for (const OutputKind kind : o.kinds)
        if (takes_horizons(kind) && !(o.sky.horizon_distance > 0))
            throw Failure{std::string("--output ") + kind_name(kind) +
                          ": its horizons reach the raster's borders, which no tile holds; give --horizon-distance "
                          "METRES to tile it (the halo then covers that distance)"};
}

// The farthest terrain a tile's outputs look at [metre]: the longest shadow
// (or --halo), and the horizons' distance when they are written or taken.
double halo_reach(const Options &o, double shadow_reach)
{
    const bool horizons = std::any_of(o.kinds.begin(), o.kinds.end(), takes_horizons);
    return horizons ? std::max(shadow_reach, o.sky.horizon_distance) : shadow_reach;
}

gis::DemRequest request(const Options &o, const Window &w)
{
    gis::DemRequest r{o.dem, o.band, o.nodata, o.z_divisor, o.z_multiplier, false, o.lat && o.pixel_size, {}};
    r.window = gis::DemRequest::Window{w.column, w.line, w.columns, w.lines};
    return r;
}

gis::Dem read_window(const Options &o, const Window &w, const std::function<void(const gis::DemShape &)> &before = {})
{
    try {
        return gis::read_dem(request(o, w), run::kMaxSide, before);
    } catch (const gis::GisError &e) {
        throw Failure{e.what()};
    }
}

std::string transform_text(const gis::Georeference &g)
{
    if (!g.has_transform)
        return "";
    std::string t;
    for (double v : g.transform)
        t.append(t.empty() ? 0 : 1, ' ').append(exact_text(v));
    return t;
}

// The regular files among `names`, each once, with their size and time.
std::vector<PlannedFile> files_of(const std::vector<std::string> &names)
{
    std::vector<PlannedFile> files;
    for (const std::string &name : names) {
        struct stat st {
        };
        if (name.rfind("/vsi", 0) == 0 || stat(name.c_str(), &st) != 0 || !S_ISREG(st.st_mode) ||
            std::any_of(files.begin(), files.end(), [&](const PlannedFile &f) { return f.path == name; }))
            continue;
        files.push_back({name, static_cast<int64_t>(st.st_size),
                         static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec});
    }
    return files;
}

// The options of a tile: the run's, with what the plan settled over the
// whole raster.
Options settled(Options o, const Plan &plan)
{
    o.pixel_size = plan.pixel_size;
    o.lat = plan.lat;
    if (plan.lon)
        o.lon = plan.lon;
    if (plan.height)
        o.height = plan.height;
    if (plan.utc_offset)
        o.utc_offset = plan.utc_offset;
    o.warnings.clear();
    return o;
}

Options parse_args(const std::vector<std::string> &args, std::ostream &err)
{
    std::vector<const char *> argv = {"terralume"};
    for (const std::string &a : args)
        argv.push_back(a.c_str());
    std::ostringstream help;
    try {
        const std::optional<Options> o = parse_options(static_cast<int>(argv.size()), argv.data(), help);
        if (!o)
            throw Failure{"the plan's options hold --help or --version"};
        return *o;
    } catch (const UsageError &e) {
        (void)err;
        throw Failure{std::string("the plan's options: ") + e.what()};
    }
}

// The lowest sun over the period (and --sun-position), above the horizon.
double lowest_sun(const Options &o, const Results &r)
{
    double lowest = 90;
    const bool positions = std::any_of(o.kinds.begin(), o.kinds.end(), [](OutputKind k) {
        return k != OutputKind::Shadow && k != OutputKind::Elevation;
    });
    if (positions && o.solar_sun) {
        for (const SunPosition &p : solar_period(r.solar).positions)
            if (p.elev > 0)
                lowest = std::min(lowest, p.elev);
    } else if (positions) {
        const Period period = period_between(o.first_day, o.last_day);
        run::Positions::hourly(period.pieces, r.lat, hourly_weight(period.days()))
            .visit({}, [&](const SunPosition &p, const run::Moment &) {
                if (p.elev > 0)
                    lowest = std::min(lowest, p.elev);
            });
    }
    if (o.sun_position)
        lowest = std::min(lowest, o.sun_position->first);
    return lowest;
}

std::vector<TileWindows> cut(int32_t lines, int32_t columns, int32_t tile, int32_t halo)
{
    std::vector<TileWindows> tiles;
    for (int64_t i = 0; i < lines; i += tile)
        for (int64_t j = 0; j < columns; j += tile) {
            TileWindows t;
            t.core = {static_cast<int32_t>(j), static_cast<int32_t>(i),
                      static_cast<int32_t>(std::min<int64_t>(tile, columns - j)),
                      static_cast<int32_t>(std::min<int64_t>(tile, lines - i))};
            const int64_t c0 = std::max<int64_t>(0, j - halo), l0 = std::max<int64_t>(0, i - halo);
            const int64_t c1 = std::min<int64_t>(columns, j + t.core.columns + halo);
            const int64_t l1 = std::min<int64_t>(lines, i + t.core.lines + halo);
            t.read = {static_cast<int32_t>(c0), static_cast<int32_t>(l0), static_cast<int32_t>(c1 - c0),
                      static_cast<int32_t>(l1 - l0)};
            tiles.push_back(t);
        }
    return tiles;
}

std::vector<gis::Format> tile_formats(const Options &o)
{
    std::vector<gis::Format> formats;
    for (size_t k = 0; k < o.kinds.size(); k++)
        formats.push_back(gis::output_format("tile.tif", "", {}));
    return formats;
}

// The plan as JSON, without its digest.
CPLJSONObject plan_json(const Plan &p)
{
    CPLJSONObject root;
    root.Add("terralume_plan", kPlanVersion);
    root.Add("folder", p.folder);
    CPLJSONArray args;
    for (const std::string &a : p.args)
        args.Add(a);
    root.Add("args", args);
    CPLJSONObject dem;
    dem.Add("path", p.dem);
    dem.Add("lines", p.lines);
    dem.Add("columns", p.columns);
    dem.Add("transform", p.transform);
    dem.Add("wkt", p.wkt);
    CPLJSONArray files;
    for (const PlannedFile &f : p.files) {
        CPLJSONObject e;
        e.Add("path", f.path);
        e.Add("size", static_cast<GInt64>(f.size));
        e.Add("mtime_ns", static_cast<GInt64>(f.mtime_ns));
        files.Add(e);
    }
    dem.Add("files", files);
    dem.Add("cells_without_elevation", static_cast<GInt64>(p.no_elevation));
    dem.Add("relief", exact_text(p.relief));
    root.Add("dem", dem);
    CPLJSONObject sun;
    sun.Add("source", "the whole raster's centre, for every tile");
    sun.Add("pixel_size", exact_text(p.pixel_size));
    sun.Add("lat", exact_text(p.lat));
    if (p.lon)
        sun.Add("lon", exact_text(*p.lon));
    if (p.height)
        sun.Add("height", exact_text(*p.height));
    if (p.utc_offset)
        sun.Add("utc_offset", exact_text(*p.utc_offset));
    sun.Add("lowest_elevation", exact_text(p.lowest_sun));
    root.Add("sun", sun);
    root.Add("halo_metres", exact_text(p.halo_metres));
    root.Add("halo", p.halo);
    root.Add("tile", p.tile);
    CPLJSONArray tiles;
    for (const TileWindows &t : p.tiles) {
        CPLJSONObject e;
        for (const auto &[name, w] : {std::pair{"core", t.core}, std::pair{"read", t.read}}) {
            CPLJSONArray a;
            for (int32_t v : {w.column, w.line, w.columns, w.lines})
                a.Add(v);
            e.Add(name, a);
        }
        tiles.Add(e);
    }
    root.Add("tiles", tiles);
    CPLJSONArray kinds, outputs;
    for (size_t k = 0; k < p.kinds.size(); k++) {
        kinds.Add(p.kinds[k]);
        outputs.Add(p.outputs[k]);
    }
    root.Add("kinds", kinds);
    root.Add("outputs", outputs);
    root.Add("tile_folder", p.tile_folder);
    return root;
}

void save_plan(Plan &p, const std::string &path)
{
    CPLJSONObject root = plan_json(p);
    p.digest = digest_of(root.Format(CPLJSONObject::PrettyFormat::Plain));
    root.Add("digest", p.digest);
    const std::string text = root.Format(CPLJSONObject::PrettyFormat::Pretty) + "\n";
    const std::string temporary = path + ".tmp" + std::to_string(getpid());
    FILE *f = std::fopen(temporary.c_str(), "wb");
    const bool written = f != nullptr && std::fwrite(text.data(), 1, text.size(), f) == text.size() &&
                         std::fflush(f) == 0 && fsync(fileno(f)) == 0;
    const int error = errno;
    if (f != nullptr && std::fclose(f) != 0 && written) {
        std::remove(temporary.c_str());
        throw Failure{path + ": cannot be written (" + std::strerror(errno) + ")"};
    }
    if (!written) {
        std::remove(temporary.c_str());
        throw Failure{path + ": cannot be written (" + std::strerror(error) + ")"};
    }
    if (std::rename(temporary.c_str(), path.c_str()) != 0) {
        const int e = errno;
        std::remove(temporary.c_str());
        throw Failure{path + ": cannot be written (" + std::strerror(e) + ")"};
    }
}

Window window_of(const CPLJSONArray &a, const std::string &path)
{
    if (a.Size() != 4)
        throw Failure{path + ": a tile's window is not 4 numbers"};
    return {a[0].ToInteger(), a[1].ToInteger(), a[2].ToInteger(), a[3].ToInteger()};
}

Plan load_plan(const std::string &path)
{
    CPLJSONDocument doc;
    CPLPushErrorHandler(CPLQuietErrorHandler);
    const bool loaded = fs::is_regular_file(path) && doc.Load(path);
    CPLPopErrorHandler();
    if (!loaded)
        throw Failure{path + ": " + (fs::exists(path) ? "not a plan (not JSON)" : "no such file")};
    CPLJSONObject root = doc.GetRoot();
    if (root.GetInteger("terralume_plan", 0) != kPlanVersion)
        throw Failure{path + ": not a plan of terralume tiles (version " + std::to_string(kPlanVersion) + ")"};
    Plan p;
    p.digest = root.GetString("digest");
    root.Delete("digest");
    if (p.digest.empty() || digest_of(root.Format(CPLJSONObject::PrettyFormat::Plain)) != p.digest)
        throw Failure{path + ": its digest does not match its content (edited, or cut short): plan again"};
    p.folder = root.GetString("folder");
    for (const CPLJSONObject &a : root.GetArray("args"))
        p.args.push_back(a.ToString());
    const CPLJSONObject dem = root.GetObj("dem");
    p.dem = dem.GetString("path");
    p.lines = dem.GetInteger("lines");
    p.columns = dem.GetInteger("columns");
    p.transform = dem.GetString("transform");
    p.wkt = dem.GetString("wkt");
    for (const CPLJSONObject &f : dem.GetArray("files"))
        p.files.push_back({f.GetString("path"), f.GetLong("size"), f.GetLong("mtime_ns")});
    p.no_elevation = dem.GetLong("cells_without_elevation");
    p.relief = number_of(dem.GetString("relief"), path);
    const CPLJSONObject sun = root.GetObj("sun");
    p.pixel_size = number_of(sun.GetString("pixel_size"), path);
    p.lat = number_of(sun.GetString("lat"), path);
    for (auto [name, value] :
         {std::pair{"lon", &p.lon}, std::pair{"height", &p.height}, std::pair{"utc_offset", &p.utc_offset}})
        if (sun.GetObj(name).IsValid())
            *value = number_of(sun.GetString(name), path);
    p.lowest_sun = number_of(sun.GetString("lowest_elevation"), path);
    p.halo_metres = number_of(root.GetString("halo_metres"), path);
    p.halo = root.GetInteger("halo");
    p.tile = root.GetInteger("tile");
    for (const CPLJSONObject &t : root.GetArray("tiles"))
        p.tiles.push_back({window_of(t.GetArray("core"), path), window_of(t.GetArray("read"), path)});
    for (const CPLJSONObject &k : root.GetArray("kinds"))
        p.kinds.push_back(k.ToString());
    for (const CPLJSONObject &k : root.GetArray("outputs"))
        p.outputs.push_back(k.ToString());
    p.tile_folder = root.GetString("tile_folder");
    if (p.kinds.size() != p.outputs.size() || p.tiles.empty())
        throw Failure{path + ": its tiles or outputs are missing"};
    return p;
}

// The working folder of the plan, where its relative names are.
void enter(const Plan &p, const std::string &path)
{
    if (chdir(p.folder.c_str()) != 0)
        throw Failure{path + ": its folder " + p.folder + " cannot be entered (" + std::strerror(errno) + ")"};
}

// The DEM is still the one planned.
void check_dem(const Plan &p, const std::string &plan_path)
{
    for (const PlannedFile &f : p.files) {
        const std::vector<PlannedFile> now = files_of({f.path});
        if (now.empty())
            throw Failure{f.path + ": the DEM's file is gone since " + plan_path + " was made: plan again"};
        if (now[0].size != f.size || now[0].mtime_ns != f.mtime_ns)
            throw Failure{f.path + ": the DEM has changed since " + plan_path + " was made: plan again"};
    }
}

void check_grid(const Plan &p, const gis::Dem &dem, const std::string &plan_path)
{
    if (dem.source.lines != p.lines || dem.source.columns != p.columns || transform_text(dem.source.geo) != p.transform)
        throw Failure{p.dem + ": its grid is not the one of " + plan_path + " (" + std::to_string(dem.source.columns) +
                      " x " + std::to_string(dem.source.lines) + " cells now, " + std::to_string(p.columns) + " x " +
                      std::to_string(p.lines) + " planned): plan again"};
}

// Tile k computed over its core and halo.
Results compute_tile(const Plan &plan, Options o, size_t k, std::ostream &err, bool terminal)
{
    const TileWindows &t = plan.tiles[k];
    o.origin = {t.read.line, t.read.column, plan.lines, plan.columns};
    // Only the core is written: the halo's cells are read for their shadows.
    o.wanted = {t.core.line - t.read.line, t.core.column - t.read.column, t.core.lines, t.core.columns};
    const std::vector<gis::Format> formats = tile_formats(o);
    Results r;
    r.dem = read_window(o, t.read, [&](const gis::DemShape &shape) { check_memory(o, formats, shape); });
    if (!r.dem.warning.empty() && !o.quiet)
        err << "terralume: warning: " << r.dem.warning << "\n";
    check_grid(plan, r.dem, "the plan");
    // Whether the whole raster has elevations the plan has found: a tile
    // without any is computed all the same, nodata everywhere.
    r.dem.no_elevation = -1;
    settle(o, r, err);
    compute(o, formats, r, err, terminal);
    // The report is the whole raster's.
    r.dem.no_elevation = plan.no_elevation;
    return r;
}

// The layer of one kind over tile k's core, from the results over its read
// window.
gis::Layer core_layer(const Options &o, const Results &r, OutputKind kind, const TileWindows &t)
{
    gis::Layer layer;
    layer = layer_of(o, r, kind);
    const int32_t dy = t.core.line - t.read.line, dx = t.core.column - t.read.column;
    std::vector<double> line(static_cast<size_t>(t.read.columns));
    // Every band's lines, the horizons' after the first included.
    const auto core = [&](std::function<void(int32_t, double *)> &of) {
        of = [inner = of, line, dy, dx, n = t.core.columns](int32_t i, double *v) mutable {
            inner(i + dy, line.data());
            std::copy(line.begin() + dx, line.begin() + dx + n, v);
        };
    };
    core(layer.line);
    for (gis::Layer::Band &b : layer.more_bands)
        core(b.line);
    return layer;
}

gis::GridPlace core_place(const Plan &plan, const gis::Georeference &whole, const Window &w)
{
    gis::GridPlace p;
    p.lines = w.lines;
    p.columns = w.columns;
    p.geo = whole;
    if (p.geo.has_transform) {
        std::array<double, 6> &t = p.geo.transform;
        t[0] = t[0] + w.column * t[1] + w.line * t[2];
        t[3] = t[3] + w.column * t[4] + w.line * t[5];
    }
    p.geo.wkt = plan.wkt;
    return p;
}

std::string metadata(GDALDataset &ds, const char *key)
{
    const char *v = ds.GetMetadataItem(key);
    return v != nullptr ? v : "";
}

// Whether the file of tile k's `kind` is there, complete and of this plan;
// the reason it is not otherwise.
std::string tile_problem(const Plan &plan, size_t k, const std::string &kind)
{
    const std::string path = tile_path(plan, k, kind);
    if (!fs::exists(path))
        return "missing";
    CPLPushErrorHandler(CPLQuietErrorHandler);
    GDALDatasetUniquePtr ds(GDALDataset::Open(path.c_str(), GDAL_OF_RASTER | GDAL_OF_READONLY));
    CPLPopErrorHandler();
    if (!ds)
        return "not a raster GDAL reads";
    if (metadata(*ds, "TERRALUME_PLAN_DIGEST") != plan.digest || metadata(*ds, "TERRALUME_TILE") != std::to_string(k))
        return "belongs to another plan (or tile)";
    const Window &c = plan.tiles[k].core;
    if (ds->GetRasterXSize() != c.columns || ds->GetRasterYSize() != c.lines)
        return "is not the size of its core";
    return "";
}

size_t index_from(const std::optional<std::string> &given, const Plan &plan, const std::string &plan_path)
{
    std::string text;
    std::string source = "--index";
    if (given) {
        text = *given;
    } else if (const char *s = std::getenv("SLURM_ARRAY_TASK_ID"); s != nullptr && *s != '\0') {
        text = s;
        source = "$SLURM_ARRAY_TASK_ID";
    } else if (const char *j = std::getenv("JOB_COMPLETION_INDEX"); j != nullptr && *j != '\0') {
        text = j;
        source = "$JOB_COMPLETION_INDEX";
    } else {
        throw Failure{"--index: no tile given, and neither $SLURM_ARRAY_TASK_ID nor $JOB_COMPLETION_INDEX is set"};
    }
    char *end = nullptr;
    errno = 0;
    const long long k = std::strtoll(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || errno != 0)
        throw Failure{source + " " + text + ": not a tile number"};
    if (k < 0 || static_cast<unsigned long long>(k) >= plan.tiles.size())
        throw Failure{source + " " + text + ": " + plan_path + " has tiles 0 to " +
                      std::to_string(plan.tiles.size() - 1)};
    return static_cast<size_t>(k);
}

Options plan_options(const Plan &plan, std::ostream &err)
{
    Options o = settled(parse_args(plan.args, err), plan);
    check_tileable(o);
    return o;
}

int tile_run(const std::string &plan_path, const std::optional<std::string> &index, int threads, bool quiet,
             std::ostream &out, std::ostream &err, bool terminal)
{
    const Plan plan = load_plan(plan_path);
    const size_t k = index_from(index, plan, plan_path);
    enter(plan, plan_path);
    check_dem(plan, plan_path);
    Options o = plan_options(plan, err);
    o.quiet = o.quiet || quiet;
    if (threads > 0)
        set_threads(threads);
    else if (o.threads > 0)
        set_threads(o.threads);
    if (std::all_of(plan.kinds.begin(), plan.kinds.end(),
                    [&](const std::string &kind) { return tile_problem(plan, k, kind).empty(); })) {
        if (!o.quiet)
            out << "tile " << k << " of " << plan_path << " is done already\n";
        return 0;
    }
    const Results r = compute_tile(plan, o, k, err, terminal);
    const TileWindows &t = plan.tiles[k];
    const gis::GridPlace place = core_place(plan, r.dem.source.geo, t.core);
    const gis::Format format = gis::output_format("tile.tif", "", {});
    for (size_t q = 0; q < o.kinds.size(); q++) {
        gis::Layer layer = core_layer(o, r, o.kinds[q], t);
        layer.metadata.emplace_back("TERRALUME_PLAN_DIGEST", plan.digest);
        layer.metadata.emplace_back("TERRALUME_TILE", std::to_string(k));
        const std::string path = tile_path(plan, k, kind_name(o.kinds[q]));
        try {
            gis::write_one(path, format, place, layer);
        } catch (const gis::GisError &e) {
            throw Failure{e.what()};
        }
        if (!o.quiet)
            out << "wrote " << path << " (" << t.core.columns << " x " << t.core.lines << ", " << kind_name(o.kinds[q])
                << ", tile " << k << ")\n";
    }
    return 0;
}

gis::SampleType type_of(OutputKind kind)
{
    return kind == OutputKind::Index || kind == OutputKind::Shadow ? gis::SampleType::Byte
           : kind == OutputKind::Elevation                         ? gis::SampleType::Float64
                                                                   : gis::SampleType::Float32;
}

bool tile_key(const std::string &key) { return key == "TERRALUME_PLAN_DIGEST" || key == "TERRALUME_TILE"; }

int merge(const std::string &plan_path, std::ostream &out, std::ostream &err)
{
    const Plan plan = load_plan(plan_path);
    enter(plan, plan_path);
    const Options o = plan_options(plan, err);
    for (size_t q = 0; q < plan.kinds.size(); q++)
        for (size_t k = 0; k < plan.tiles.size(); k++) {
            const std::string problem = tile_problem(plan, k, plan.kinds[q]);
            if (problem == "missing")
                throw Failure{tile_path(plan, k, plan.kinds[q]) + ": tile " + std::to_string(k) +
                              " is missing: run terralume tiles run " + plan_path + " --index " + std::to_string(k)};
            if (!problem.empty())
                throw Failure{tile_path(plan, k, plan.kinds[q]) + ": " + problem + ", not a tile of " + plan_path};
        }
    for (size_t q = 0; q < plan.kinds.size(); q++) {
        const std::string &final_path = plan.outputs[q];
        std::vector<std::string> names;
        for (size_t k = 0; k < plan.tiles.size(); k++)
            names.push_back(tile_path(plan, k, plan.kinds[q]));
        std::vector<const char *> list;
        for (const std::string &n : names)
            list.push_back(n.c_str());
        const bool vrt = o.format.empty() ? fs::path(final_path).extension() == ".vrt" : o.format == "VRT";
        // The mosaic of the tiles, with the whole run's report.
        const std::string mosaic =
            vrt ? (fs::path(final_path).parent_path() /
                   ("." + fs::path(final_path).filename().string() + ".tmp" + std::to_string(getpid())))
                      .string()
                : "/vsimem/terralume-merge-" + std::to_string(getpid()) + ".vrt";
        int usage_error = 0;
        GDALDatasetH h =
            GDALBuildVRT(mosaic.c_str(), static_cast<int>(list.size()), nullptr, list.data(), nullptr, &usage_error);
        if (h == nullptr)
            throw Failure{final_path + ": the mosaic of the tiles cannot be made (" +
                          std::string(CPLGetLastErrorMsg()) + ")"};
        GDALDataset *ds = GDALDataset::FromHandle(h);
        GDALDatasetUniquePtr first(GDALDataset::Open(names[0].c_str(), GDAL_OF_RASTER | GDAL_OF_READONLY));
        gis::Layer layer;
        layer.type = type_of(*kind_of(plan.kinds[q]));
        if (first) {
            if (char **md = first->GetMetadata())
                for (char **m = md; *m != nullptr; m++) {
                    const std::string item = *m;
                    const size_t eq = item.find('=');
                    const std::string key = item.substr(0, eq);
                    if (!tile_key(key))
                        layer.metadata.emplace_back(key, item.substr(eq + 1));
                }
            GDALRasterBand *b = first->GetRasterBand(1);
            layer.nodata = b->GetNoDataValue();
            layer.description = b->GetDescription();
            layer.unit = b->GetUnitType();
            layer.classes = layer.type == gis::SampleType::Byte;
        }
        // Each band's description (the horizons': one a direction).
        std::vector<std::string> descriptions;
        for (int k = 1; k <= ds->GetRasterCount(); k++)
            descriptions.push_back(first && k <= first->GetRasterCount() ? first->GetRasterBand(k)->GetDescription()
                                                                         : layer.description);
        for (const auto &[key, value] : layer.metadata)
            ds->SetMetadataItem(key.c_str(), value.c_str());
        for (int k = 1; k <= ds->GetRasterCount(); k++) {
            ds->GetRasterBand(k)->SetDescription(descriptions[static_cast<size_t>(k - 1)].c_str());
            ds->GetRasterBand(k)->SetUnitType(layer.unit.c_str());
        }
        if (vrt) {
            ds->FlushCache(true);
            GDALClose(h);
            if (std::rename(mosaic.c_str(), final_path.c_str()) != 0) {
                const int e = errno;
                std::remove(mosaic.c_str());
                throw Failure{final_path + ": cannot be written (" + std::strerror(e) + ")"};
            }
        } else {
            // Copied from the mosaic block by block: the merged raster is
            // never held in memory whole.
            try {
                gis::write_copy(final_path, gis::output_format(final_path, o.format, o.creation_options), *ds);
            } catch (const gis::GisError &e) {
                GDALClose(h);
                VSIUnlink(mosaic.c_str());
                throw Failure{e.what()};
            }
            GDALClose(h);
            VSIUnlink(mosaic.c_str());
        }
        if (!o.quiet)
            out << "wrote " << final_path << " (" << plan.columns << " x " << plan.lines << ", " << plan.kinds[q]
                << ", " << plan.tiles.size() << " tiles)\n";
    }
    return 0;
}

// Splits `tiles plan ... PLAN.json`: PLAN.json is the last argument.
int plan_command(const std::vector<std::string> &given, std::ostream &out, std::ostream &err)
{
    // Quiet or not is each command's own: -q is not the plan's.
    std::vector<std::string> args;
    std::copy_if(given.begin(), given.end(), std::back_inserter(args),
                 [](const std::string &a) { return a != "-q" && a != "--quiet"; });
    if (args.size() < 3)
        throw Failure{"tiles plan: give [OPTIONS] DEM OUTPUT --tile CELLS PLAN.json"};
    const std::string plan_path = args.back();
    const std::vector<std::string> run_args(args.begin(), args.end() - 1);
    Options o = parse_args(run_args, err);
    o.quiet = args.size() != given.size();
    if (o.tile < 1)
        throw Failure{"tiles plan: --tile CELLS is needed: the side of a tile's core"};
    for (const std::string &w : o.warnings)
        err << "terralume: warning: " << w << "\n";
    Plan plan = make_plan(o, run_args, err);
    try {
        fs::create_directories(plan.tile_folder);
    } catch (const fs::filesystem_error &e) {
        throw Failure{plan.tile_folder + ": cannot be made (" + e.code().message() + ")"};
    }
    save_plan(plan, plan_path);
    if (!o.quiet)
        out << "wrote " << plan_path << " (" << plan.tiles.size() << " tiles of " << plan.tile << " cells, halo "
            << plan.halo << " cells)\n";
    return 0;
}

} // namespace

std::string digest_of(const std::string &text)
{
    uint64_t h = 1469598103934665603ULL;
    for (unsigned char c : text) {
        h ^= c;
        h *= 1099511628211ULL;
    }
    char s[17];
    std::snprintf(s, sizeof s, "%016llx", static_cast<unsigned long long>(h));
    return s;
}

std::string tile_path(const Plan &plan, size_t k, const std::string &kind)
{
    char name[64];
    std::snprintf(name, sizeof name, "tile_%06zu_%s.tif", k, kind.c_str());
    return (fs::path(plan.tile_folder) / name).string();
}

Plan make_plan(const Options &o, const std::vector<std::string> &args, std::ostream &err)
{
    check_tileable(o);
    if (o.dem.size() > 4 && (o.dem.ends_with("_m2.raw") || o.dem.ends_with("_m4.raw")))
        throw Failure{o.dem + ": a raw model is read whole; make it a GeoTIFF for tiles"};
    Plan p;
    std::error_code ec;
    p.folder = fs::current_path(ec).string();
    p.args = args;
    p.dem = o.dem;
    p.tile = o.tile;
    // The centre cell, read through a window of one cell, which also tells
    // the whole grid's place.
    gis::Dem probe;
    {
        gis::start_gdal();
        CPLPushErrorHandler(CPLQuietErrorHandler);
        GDALDatasetUniquePtr ds(GDALDataset::Open(o.dem.c_str(), GDAL_OF_RASTER | GDAL_OF_READONLY));
        CPLPopErrorHandler();
        const int32_t lines = ds ? ds->GetRasterYSize() : 1, columns = ds ? ds->GetRasterXSize() : 1;
        ds.reset();
        probe = read_window(o, {columns / 2, lines / 2, 1, 1});
    }
    p.lines = probe.source.lines;
    p.columns = probe.source.columns;
    p.transform = transform_text(probe.source.geo);
    p.wkt = probe.source.geo.wkt;
    p.files = files_of(probe.files);
    // The whole grid a strip at a time: its relief, its cells without
    // elevation, the mean of the known ones.
    double zmin = std::numeric_limits<double>::infinity(), zmax = -zmin, sum = 0;
    int64_t known = 0;
    const int32_t strip =
        static_cast<int32_t>(std::max<int64_t>(1, std::min<int64_t>(p.lines, kStripCells / std::max(1, p.columns))));
    for (int32_t line = 0; line < p.lines; line += strip) {
        const gis::Dem part = read_window(o, {0, line, p.columns, std::min(strip, p.lines - line)});
        p.no_elevation += part.no_elevation;
        for (int32_t i = 0; i < part.dtab.nb_lig(); i++)
            for (int32_t j = 0; j < part.dtab.nb_col(); j++) {
                const double z = part.dtab[i][j];
                if (z == kNoElevation)
                    continue;
                zmin = std::min(zmin, z);
                zmax = std::max(zmax, z);
                sum += z;
                known++;
            }
    }
    Options whole = o;
    Results r;
    r.dem = std::move(probe);
    r.dem.place = r.dem.source;
    r.dem.no_elevation = p.no_elevation;
    if (known > 0 && r.dem.dtab.at(0, 0) == kNoElevation && !whole.height)
        whole.height = sum / static_cast<double>(known);
    settle(whole, r, err);
    p.pixel_size = r.pixel_size;
    p.lat = r.lat;
    const bool solar = whole.solar_sun && std::any_of(o.kinds.begin(), o.kinds.end(), [](OutputKind k) {
                           return k != OutputKind::Shadow && k != OutputKind::Elevation;
                       });
    if (solar) {
        p.lon = r.solar.place.lon;
        p.height = r.solar.place.height;
        p.utc_offset = r.solar.utc_offset;
    }
    p.relief = known > 0 ? zmax - zmin : 0;
    p.lowest_sun = lowest_sun(whole, r);
    if (o.min_sun_elevation)
        p.lowest_sun = std::max(p.lowest_sun, *o.min_sun_elevation);
    p.halo_metres = halo_reach(o, o.halo ? *o.halo : run::shadow_reach(p.relief, p.lowest_sun, o.curvature));
    if (!std::isfinite(p.halo_metres))
        throw Failure{"--tile: a sun at " + exact_text(p.lowest_sun) +
                      " degrees casts shadows without end on a flat Earth: give --min-sun-elevation DEGREES or --halo "
                      "METRES"};
    const double cells = std::ceil(p.halo_metres / p.pixel_size) + kHaloMargin;
    p.halo = static_cast<int32_t>(std::min<double>(cells, std::max(p.lines, p.columns)));
    p.tiles = cut(p.lines, p.columns, p.tile, p.halo);
    // The largest tile with its halo must fit the memory.
    const uint64_t memory =
        o.memory_gib ? static_cast<uint64_t>(std::min(*o.memory_gib * 1073741824.0, 1.8e19)) : uint64_t{0};
    size_t largest = 0;
    for (size_t k = 0; k < p.tiles.size(); k++)
        if (static_cast<int64_t>(p.tiles[k].read.lines) * p.tiles[k].read.columns >
            static_cast<int64_t>(p.tiles[largest].read.lines) * p.tiles[largest].read.columns)
            largest = k;
    const Window &w = p.tiles[largest].read;
    try {
        check_memory(o, tile_formats(o), {w.lines, w.columns, 0, 0, 0}, memory);
    } catch (const Failure &f) {
        throw Failure{"--tile " + std::to_string(p.tile) + ": tile " + std::to_string(largest) + " with its halo of " +
                      std::to_string(p.halo) + " cells does not fit" +
                      (o.memory_gib ? " --memory " + exact_text(*o.memory_gib) + " GiB" : " the memory available") +
                      ": " + f.message + "; take smaller tiles"};
    }
    for (OutputKind kind : o.kinds) {
        p.kinds.push_back(kind_name(kind));
        p.outputs.push_back(output_path(o, kind));
    }
    const fs::path out(o.output);
    p.tile_folder = (out.parent_path() / (out.filename().string() + ".tiles")).string();
    return p;
}

int run_tiles(int argc, const char *const *argv, std::ostream &out, std::ostream &err, bool terminal)
{
    const std::string usage = "terralume tiles plan [OPTIONS] DEM OUTPUT --tile CELLS PLAN.json | run PLAN.json "
                              "[--index K] [--threads N] [-q] | merge PLAN.json [-q]";
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty() || args[0] == "--help" || args[0] == "-h") {
        (args.empty() ? err : out) << "usage: " << usage << "\n";
        return args.empty() ? kExitUsage : 0;
    }
    try {
        const std::string command = args[0];
        args.erase(args.begin());
        if (command == "plan")
            return plan_command(args, out, err);
        if (command != "run" && command != "merge") {
            err << "terralume: tiles " << command << ": the commands are plan, run and merge\nusage: " << usage << "\n";
            return kExitUsage;
        }
        std::optional<std::string> plan, index;
        int threads = 0;
        bool quiet = false;
        for (size_t k = 0; k < args.size(); k++) {
            const std::string &a = args[k];
            const bool valued = a == "--index" || a == "--threads";
            if (valued && k + 1 >= args.size()) {
                err << "terralume: tiles " << command << ": " << a << " needs a value\n";
                return kExitUsage;
            }
            if (a == "--index" && command == "run") {
                index = args[++k];
            } else if (a == "--threads" && command == "run") {
                const std::string v = args[++k];
                char *end = nullptr;
                const long t = std::strtol(v.c_str(), &end, 10);
                if (v.empty() || *end != '\0' || t < 1 || t > kMaxThreads) {
                    err << "terralume: tiles run: --threads " << v << ": from 1 to " << kMaxThreads << "\n";
                    return kExitUsage;
                }
                threads = static_cast<int>(t);
            } else if (a == "-q" || a == "--quiet") {
                quiet = true;
            } else if (!a.empty() && a[0] != '-' && !plan) {
                plan = a;
            } else {
                err << "terralume: tiles " << command << ": " << a << ": unknown option or argument\nusage: " << usage
                    << "\n";
                return kExitUsage;
            }
        }
        if (!plan) {
            err << "terralume: tiles " << command << ": give PLAN.json\nusage: " << usage << "\n";
            return kExitUsage;
        }
        gis::start_gdal();
        const std::string plan_path = fs::absolute(*plan).string();
        if (command == "run")
            return tile_run(plan_path, index, threads, quiet, out, err, terminal);
        std::ostringstream quiet_out;
        return merge(plan_path, quiet ? quiet_out : out, err);
    } catch (const Failure &f) {
        err << "terralume: " << f.message << "\n";
    } catch (const std::bad_alloc &) {
        err << "terralume: not enough memory for a tile's grids\n";
    } catch (const fs::filesystem_error &e) {
        err << "terralume: " << e.path1().string() << ": " << e.code().message() << "\n";
    } catch (const gis::GisError &e) {
        err << "terralume: " << e.what() << "\n";
    } catch (const OutputError &e) {
        err << "terralume: " << e.file << ": cannot be written (" << std::strerror(e.error) << ")\n";
    }
    return kExitFailure;
}

int run_tiled(const Options &o, const std::vector<std::string> &args, std::ostream &out, std::ostream &err,
              bool terminal)
{
    for (const std::string &w : o.warnings)
        err << "terralume: warning: " << w << "\n";
    if (o.threads > 0)
        set_threads(o.threads);
    Plan plan = make_plan(o, args, err);
    plan.digest = digest_of(plan_json(plan).Format(CPLJSONObject::PrettyFormat::Plain));
    const Options settled_options = settled(o, plan);
    std::vector<gis::Format> formats;
    for (size_t q = 0; q < o.kinds.size(); q++) {
        try {
            formats.push_back(gis::output_format(plan.outputs[q], o.format, o.creation_options));
            gis::check_creatable(plan.outputs[q], formats.back());
        } catch (const gis::GisError &e) {
            throw Failure{e.what()};
        }
        GDALDriver *d = GetGDALDriverManager()->GetDriverByName(formats.back().driver.c_str());
        if (d == nullptr || d->GetMetadataItem(GDAL_DCAP_CREATE) == nullptr)
            throw Failure{plan.outputs[q] + ": --tile writes a tile at a time, which the " + formats.back().driver +
                          " format cannot; write a GeoTIFF and convert it, or use terralume tiles merge"};
    }
    ResultLock lock;
    try {
        lock.acquire(ResultLock::path_beside(o.output), o.output);
    } catch (const LockHeld &e) {
        throw Failure{o.output + ": is being written by another run (pid " + std::to_string(e.pid) + ")"};
    }
    StagedSet staged;
    staged.create(o.output);
    std::vector<GDALDatasetUniquePtr> files;
    gis::GridPlace whole;
    whole.lines = plan.lines;
    whole.columns = plan.columns;
    for (size_t q = 0; q < o.kinds.size(); q++) {
        const std::string target = staged.area(q) + fs::path(plan.outputs[q]).filename().string();
        GDALDriver *d = GetGDALDriverManager()->GetDriverByName(formats[q].driver.c_str());
        CPLStringList options;
        for (const std::string &c : formats[q].creation_options)
            options.AddString(c.c_str());
        const gis::SampleType t = type_of(o.kinds[q]);
        const GDALDataType type = t == gis::SampleType::Byte      ? GDT_Byte
                                  : t == gis::SampleType::Float32 ? GDT_Float32
                                                                  : GDT_Float64;
        const int bands = o.kinds[q] == OutputKind::Horizon ? o.sky.horizon_directions : 1;
        files.emplace_back(d->Create(target.c_str(), plan.columns, plan.lines, bands, type, options.List()));
        if (!files.back())
            throw Failure{plan.outputs[q] + ": cannot be made (" + std::string(CPLGetLastErrorMsg()) + ")"};
    }
    // Each tile's grids take the pages of the one before.
    const BlockReuse reuse;
    for (size_t k = 0; k < plan.tiles.size(); k++) {
        const TileWindows &t = plan.tiles[k];
        const Results r = compute_tile(plan, settled_options, k, err, false);
        if (k == 0)
            whole.geo = r.dem.source.geo;
        for (size_t q = 0; q < o.kinds.size(); q++) {
            const gis::Layer layer = core_layer(settled_options, r, o.kinds[q], t);
            GDALDataset &ds = *files[q];
            if (k == 0) {
                if (whole.geo.has_transform)
                    ds.SetGeoTransform(whole.geo.transform.data());
                if (!whole.geo.wkt.empty())
                    ds.SetProjection(whole.geo.wkt.c_str());
                for (const auto &[key, value] : layer.metadata)
                    ds.SetMetadataItem(key.c_str(), value.c_str());
            }
            // The first band, then the horizons' others.
            for (size_t b = 0; b <= layer.more_bands.size(); b++) {
                GDALRasterBand *band = ds.GetRasterBand(static_cast<int>(b + 1));
                const auto &lines = b == 0 ? layer.line : layer.more_bands[b - 1].line;
                if (k == 0) {
                    band->SetNoDataValue(layer.nodata);
                    band->SetDescription(b == 0 ? layer.description.c_str()
                                                : layer.more_bands[b - 1].description.c_str());
                    if (!layer.unit.empty())
                        band->SetUnitType(layer.unit.c_str());
                }
                std::vector<double> line(static_cast<size_t>(t.core.columns));
                for (int32_t i = 0; i < t.core.lines; i++) {
                    lines(i, line.data());
                    if (band->RasterIO(GF_Write, t.core.column, t.core.line + i, t.core.columns, 1, line.data(),
                                       t.core.columns, 1, GDT_Float64, 0, 0) != CE_None)
                        throw Failure{plan.outputs[q] + ": cannot be written (" + std::string(CPLGetLastErrorMsg()) +
                                      ")"};
                }
            }
        }
        if (terminal && !o.quiet)
            err << "\rterralume: tile " << k + 1 << " of " << plan.tiles.size() << std::flush;
    }
    if (terminal && !o.quiet)
        err << "\n";
    for (size_t q = 0; q < files.size(); q++) {
        CPLErrorReset();
        files[q]->FlushCache(true);
        files[q].reset();
        if (CPLGetLastErrorType() == CE_Failure)
            throw Failure{plan.outputs[q] + ": cannot be written (" + std::string(CPLGetLastErrorMsg()) + ")"};
    }
    try {
        staged.commit(lock);
    } catch (const OutputError &e) {
        throw Failure{e.file + ": cannot be written (" + std::strerror(e.error) + ")"};
    }
    if (!o.quiet)
        for (size_t q = 0; q < o.kinds.size(); q++)
            out << "wrote " << plan.outputs[q] << " (" << plan.columns << " x " << plan.lines << ", "
                << kind_name(o.kinds[q]) << ", " << plan.tiles.size() << " tiles)\n";
    return 0;
}

} // namespace terralume::cli
