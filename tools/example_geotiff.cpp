// Writes the bundled model as a georeferenced GeoTIFF: the samples of
// examples/images/jacksboro/jacksboro_m2.raw, 3 arc-second cells in WGS 84
// (EPSG:4326), the outer corner of line 0, column 0 at 36.733 N, 84.414 W.
//
//     example_geotiff RAW_MODEL OUT.tif
#include "output.h"
#include "raw_model.h"

#include <cstdio>
#include <ogr_spatialref.h>

int main(int argc, char **argv)
{
    using namespace terralume;
    if (argc != 3) {
        std::fprintf(stderr, "usage: example_geotiff RAW_MODEL OUT.tif\n");
        return 2;
    }
    try {
        const RawModel m = read_raw_model(argv[1], 100000);
        gis::GridPlace place;
        place.lines = m.itab.nb_lig();
        place.columns = m.itab.nb_col();
        place.geo.has_transform = true;
        place.geo.transform = {-84.414, 3.0 / 3600, 0, 36.733, 0, -3.0 / 3600};
        OGRSpatialReference wgs84;
        wgs84.importFromEPSG(4326);
        char *wkt = nullptr;
        wgs84.exportToWkt(&wkt);
        place.geo.wkt = wkt;
        CPLFree(wkt);
        gis::Layer layer;
        layer.type = gis::SampleType::UInt16;
        layer.nodata = 0; // no sample of the model is 0
        layer.description = "elevation";
        layer.unit = "m";
        layer.line = [&m](int32_t i, double *v) {
            for (int32_t j = 0; j < m.itab.nb_col(); j++)
                v[j] = m.itab[i][j];
        };
        gis::write_one(argv[2], gis::output_format(argv[2], "", {"PREDICTOR=2"}), place, layer);
    } catch (const std::exception &e) {
        std::fprintf(stderr, "example_geotiff: %s\n", e.what());
        return 1;
    }
    return 0;
}
