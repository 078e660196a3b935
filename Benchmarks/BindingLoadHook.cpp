// The load hook that the platform layer calls, for the copy of the binding
// linked into the benchmarks: that copy is no loaded plug-in and needs none.
#include "Platform/Platform.h"

extern "C" int DllMain(void *, unsigned long, void *)
{
    return 1;
}
