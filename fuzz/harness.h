// Fuzz harnesses: whole runs fed from arbitrary bytes, in a folder tree of
// their own that is put back as it was after every input. Each returns what
// promise of a run the input broke, or nothing.
//
// The libFuzzer targets (fuzz_descriptor.cpp, fuzz_dialogue.cpp, fuzz_raster.cpp)
// abort on a
// broken promise; tests/test_fuzz_replay.cpp replays the saved inputs through
// the same functions in the ordinary test builds.
#ifndef TERRALUME_FUZZ_HARNESS_H
#define TERRALUME_FUZZ_HARNESS_H

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace terralume::fuzz
{

// The bytes are the text of a model descriptor; the run that reads it has
// fixed answers.
std::optional<std::string> descriptor_input(const uint8_t *data, size_t size);

// The bytes are the operator's answers to a whole run.
std::optional<std::string> dialogue_input(const uint8_t *data, size_t size);

// The bytes are a DEM file of any format GDAL reads (harness_raster.cpp):
// read as the command line reads it, then, when small, a whole command-line
// run over it.
std::optional<std::string> raster_input(const uint8_t *data, size_t size);

} // namespace terralume::fuzz

#endif
