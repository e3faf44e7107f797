// The instruction sets the kernels are built for, and the one they all run
// with: the widest this processor runs, unless another is chosen. Every set
// gives the same bits.
#ifndef TERRALUME_KERNELS_DISPATCH_H
#define TERRALUME_KERNELS_DISPATCH_H

#include <string>
#include <vector>

namespace terralume::kernels
{

enum class Isa { Generic, Avx2, Avx512 };

// Every set this processor runs, the widest first, the portable one last.
std::vector<Isa> supported_isas();
const char *isa_name(Isa isa);
// The set in use.
Isa chosen_isa();
// Chooses one of supported_isas() by name; false, and no change, for any other.
bool choose_isa(const std::string &name);

// The entry points of the set in use among those of every set (null where a
// set is not built for this architecture).
template <typename T> const T &for_chosen_isa(const T &generic, const T *avx2, const T *avx512)
{
    switch (chosen_isa()) {
    case Isa::Avx512:
        return *avx512;
    case Isa::Avx2:
        return *avx2;
    case Isa::Generic:
        break;
    }
    return generic;
}

} // namespace terralume::kernels

// The entry points `name` (a table each instruction set's objects define in
// generic::, avx2:: and avx512::) of the set in use.
#if defined(TL_HAVE_X86_KERNELS)
#define TL_CHOSEN_KERNELS(name)                                                                                        \
    ::terralume::kernels::for_chosen_isa(::terralume::kernels::generic::name, &::terralume::kernels::avx2::name,       \
                                         &::terralume::kernels::avx512::name)
#else
#define TL_CHOSEN_KERNELS(name)                                                                                        \
    ::terralume::kernels::for_chosen_isa(::terralume::kernels::generic::name, nullptr, nullptr)
#endif

#endif
