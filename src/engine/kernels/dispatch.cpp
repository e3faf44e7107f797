#include "dispatch.h"
#include "engine.h"

namespace terralume
{

namespace kernels
{

namespace
{

Isa &chosen()
{
    static Isa isa = supported_isas().front();
    return isa;
}

} // namespace

std::vector<Isa> supported_isas()
{
    std::vector<Isa> sets;
#if defined(TL_HAVE_X86_KERNELS)
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq") && __builtin_cpu_supports("avx512vl") &&
        __builtin_cpu_supports("avx512bw"))
        sets.push_back(Isa::Avx512);
    // The AVX2 kernels are built with fused multiply-adds.
    if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma"))
        sets.push_back(Isa::Avx2);
#endif
    sets.push_back(Isa::Generic);
    return sets;
}

const char *isa_name(Isa isa)
{
    switch (isa) {
    case Isa::Avx512:
        return "avx512";
    case Isa::Avx2:
        return "avx2";
    case Isa::Generic:
        break;
    }
    return "generic";
}

Isa chosen_isa() { return chosen(); }

bool choose_isa(const std::string &name)
{
    for (const Isa isa : supported_isas())
        if (name == isa_name(isa)) {
            chosen() = isa;
            return true;
        }
    return false;
}

} // namespace kernels

std::vector<std::string> instruction_sets()
{
    std::vector<std::string> names;
    for (const kernels::Isa isa : kernels::supported_isas())
        names.emplace_back(kernels::isa_name(isa));
    return names;
}

bool use_instruction_set(const std::string &name) { return kernels::choose_isa(name); }

std::string instruction_set() { return kernels::isa_name(kernels::chosen_isa()); }

} // namespace terralume
