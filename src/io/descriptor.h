// The text of a model or result descriptor: six whole numbers first.
#ifndef TERRALUME_IO_DESCRIPTOR_H
#define TERRALUME_IO_DESCRIPTOR_H

#include <cstddef>
#include <cstdint>
#include <string>

namespace terralume
{

// The six integers of a DEM descriptor read as "%d%d%d%d%d%d" would: values
// in order, separated by any whitespace, reading stops at the first one that
// is missing or unreadable and the rest keep their earlier values.
int read_descriptor_values(const std::string &text, int32_t *values[6]);

// The most a model descriptor is read: its six numbers and text after them.
constexpr size_t kDescriptorMaxBytes = 65536;

} // namespace terralume

#endif
