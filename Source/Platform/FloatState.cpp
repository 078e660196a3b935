// The floating-point part of the platform layer, the same on both builds:
// both run on x86 processors, with an x87 unit and SSE beside it.
//
// Hosts do not all keep the default state: many unmask exceptions (every
// Delphi program does), some change the rounding. The plug-in's comparisons
// with NaN, conversions of huge angles and overflows must then neither trap in
// the host nor round another way, and the host must get back exactly what it
// had, or a flag raised here would trap at its next x87 instruction.
#include "Platform.h"

#include <string.h>

// Every exception masked, rounding to nearest; x87 precision extended (the
// runtime's own long double code expects it), SSE without flush to zero.
static const uint16_t kOwnX87Control = 0x037F;
static const uint32_t kOwnMxcsr = 0x1F80;

#if defined(__i386__) || defined(__x86_64__)

PlatformFloatState PlatformUseOwnFloatState(void)
{
    PlatformFloatState host;
    // fnstenv also masks every x87 exception, so nothing can trap before the
    // control word below is in place.
    __asm__ volatile("fnstenv %0" : "=m"(host.x87));
    __asm__ volatile("fldcw %0" : : "m"(kOwnX87Control));
    __asm__ volatile("stmxcsr %0" : "=m"(host.mxcsr));
    __asm__ volatile("ldmxcsr %0" : : "m"(kOwnMxcsr));
    return host;
}

void PlatformRestoreFloatState(const PlatformFloatState *host)
{
    // The host's flags come back with its control word and none of ours stay;
    // loading flags into MXCSR raises nothing.
    __asm__ volatile("ldmxcsr %0" : : "m"(host->mxcsr));
    __asm__ volatile("fldenv %0" : : "m"(host->x87));
}

#else

PlatformFloatState PlatformUseOwnFloatState(void)
{
    PlatformFloatState host;
    memset(&host, 0, sizeof host);
    return host;
}

void PlatformRestoreFloatState(const PlatformFloatState *) {}

#endif
