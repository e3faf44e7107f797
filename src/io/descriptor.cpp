#include "descriptor.h"
#include "text.h"

#include <cctype>
#include <optional>

namespace terralume
{

int read_descriptor_values(const std::string &text, int32_t *values[6])
{
    size_t p = 0;
    for (int k = 0; k < 6; k++) {
        while (p < text.size() && std::isspace(static_cast<unsigned char>(text[p])))
            p++;
        size_t q = p;
        if (q < text.size() && (text[q] == '-' || text[q] == '+'))
            q++;
        const size_t digits = q;
        while (q < text.size() && std::isdigit(static_cast<unsigned char>(text[q])))
            q++;
        if (q == digits)
            return k;
        const std::optional<int32_t> v = parse_int(text.substr(p, q - p));
        if (!v)
            return k;
        *values[k] = *v;
        p = q;
    }
    return 6;
}

} // namespace terralume
