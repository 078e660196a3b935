// The floating-point part of the platform layer, the same on both builds:
// both run on x86 processors, with an x87 unit and SSE beside it.
//
// Hosts do not all keep the default state: many unmask exceptions (every
// Delphi program does), some change the rounding. The plug-in's comparisons
// with NaN, conversions of huge angles and overflows must then neither trap in
// the host nor round another way, and the host must get back its control
// words and its SSE flags as they were.
//
// Most calls find the state as they want it, so each step is taken only when
// needed. The x87 flags matter only to a host that unmasks x87 exceptions: a
// flag raised here that such a host has unmasked would trap at its next x87
// instruction. For that host alone they are read and put back as they were
// (through the slow x87 environment only when it had flags of its own).
#include "Platform.h"

// Every exception masked, rounding to nearest; x87 precision extended (the
// runtime's own long double code expects it), SSE without flush to zero.
static const uint16_t kOwnX87Control = 0x037F;
static const uint32_t kOwnMxcsr = 0x1F80;
static const uint32_t kMxcsrFlags = 0x003F;
static const uint16_t kX87Masks = 0x003F; // of the six exceptions, in the control word
static const uint16_t kX87Flags = 0x007F; // the six exceptions and the stack fault

#if defined(__i386__) || defined(__x86_64__)

PlatformFloatState PlatformUseOwnFloatState(void)
{
    PlatformFloatState host;
    __asm__ volatile("fnstcw %0" : "=m"(host.x87Control));
    host.x87Status = 0;
    if ((host.x87Control & kX87Masks) != kX87Masks)
        __asm__ volatile("fnstsw %0" : "=a"(host.x87Status));
    __asm__ volatile("stmxcsr %0" : "=m"(host.mxcsr));
    if (host.x87Control != kOwnX87Control)
        __asm__ volatile("fldcw %0" : : "m"(kOwnX87Control));
    const uint32_t own = (host.mxcsr & kMxcsrFlags) | kOwnMxcsr; // the flags are the host's
    if (own != host.mxcsr)
        __asm__ volatile("ldmxcsr %0" : : "m"(own));
    return host;
}

void PlatformRestoreFloatState(const PlatformFloatState *host)
{
    __asm__ volatile("ldmxcsr %0" : : "m"(host->mxcsr)); // loading flags raises nothing
    if (host->x87Control == kOwnX87Control)
        return;
    if ((host->x87Control & kX87Masks) != kX87Masks) {
        uint16_t status;
        __asm__ volatile("fnstsw %0" : "=a"(status));
        if ((status ^ host->x87Status) & kX87Flags) {
            if (host->x87Status & kX87Flags) {
                // Flags of its own: its control and status words back
                // together, through the environment.
                uint32_t environment[7];
                __asm__ volatile("fnstenv %0" : "=m"(environment));
                environment[0] = (environment[0] & 0xFFFF0000u) | host->x87Control;
                environment[1] = (environment[1] & 0xFFFF0000u) | host->x87Status;
                __asm__ volatile("fldenv %0" : : "m"(environment));
                return;
            }
            // Ours cleared before the host's control word can unmask them.
            __asm__ volatile("fnclex");
        }
    }
    __asm__ volatile("fldcw %0" : : "m"(host->x87Control));
}

#else

PlatformFloatState PlatformUseOwnFloatState(void)
{
    PlatformFloatState host = {0, 0, 0};
    return host;
}

void PlatformRestoreFloatState(const PlatformFloatState *) {}

#endif

static PlatformFloatState *gHostFloat = NULL;

void PlatformKeepHostFloatState(PlatformFloatState *host)
{
    gHostFloat = host;
}

void PlatformBeforeHostCode(void)
{
    if (gHostFloat != NULL)
        PlatformRestoreFloatState(gHostFloat);
}

void PlatformAfterHostCode(void)
{
    if (gHostFloat != NULL)
        *gHostFloat = PlatformUseOwnFloatState();
}
