// The telescope control library's interface: its 21 entry points and our
// optional 22nd, their argument and result types, the calling convention,
// the position record and the result codes. The plug-in's binding resolves
// these names; every control library we build declares its exports from this
// list, so one that defines an export with a different signature does not
// compile. The build reads the same list out of this file for each library's
// export table (.def on Windows, version script on native:
// cmake/DravExports.cmake), so an entry point is added or renamed here and
// nowhere else.
#ifndef DRAV_INTERFACE_H
#define DRAV_INTERFACE_H

// The control library's calling convention, for every entry point.
#ifdef _WIN32
#define TCS_CALL __cdecl
#else
#define TCS_CALL
#endif

struct DRAV_Coords {
    double X; // right ascension, radians
    double Y; // declination, radians
};
static_assert(sizeof(DRAV_Coords) == 16, "DRAV_Coords is two doubles");

// What an entry point answers, and what the two status queries write to
// their out-argument. Prefixed, so that a library's own shorter names for
// them do not clash.
constexpr unsigned short kTcsDone = 1;       // the command was carried out (or the query answered)
constexpr unsigned short kTcsRefused = 2;    // it was not: a go-to not launched, a calibration that failed
constexpr unsigned short kTcsNoProvider = 3; // the provider is not registered (no mount behind the library)
// TCS_GetControlStatus's code
constexpr unsigned short kTcsActive = 200;   // the provider is active
constexpr unsigned short kTcsInactive = 201; // it is registered but inactive
// TCS_GetAlignmentStatus's code; kTcsNotAligned is also the answer of the
// position and go-to entry points without a Celestial alignment
constexpr unsigned short kTcsNotAligned = 210;
constexpr unsigned short kTcsCelestialAligned = 211;
constexpr unsigned short kTcsBothAligned = 212; // Celestial and Earth aligned
// the alignment commands need the provider's land mode
constexpr unsigned short kTcsNotInLandMode = 213;

// What a library calls around a dispatch of the host's messages in one of
// its waits: before, so that the host's code runs in the host's own
// floating-point state; after, to have the plug-in's back (with what the
// host's code raised kept as the host's).
typedef void(TCS_CALL *TCS_DispatchHook)(void);

// The exports, in the order they are resolved, one X(...) a line (the
// build's export tables are read from these lines): the vendor's 21, then
// TCS_SetDispatchHooks, ours, optional (a library without it is called as
// before). The plug-in hands it its two hooks right after binding, and
// nulls before the release; a library keeps them, and answers kTcsDone.
// X(name, parameter list)
#define TCS_ENTRY_POINTS(X)                                                        \
    X(TCS_GetVersion, (char *text, int size))                                      \
    X(TCS_GetControlStatus, (unsigned short *code))                                \
    X(TCS_GetAlignmentStatus, (unsigned short *code))                              \
    X(TCS_GetCelestialCoords, (DRAV_Coords *pos))                                  \
    X(TCS_GetGoToProgress, (unsigned short *percent))                              \
    X(TCS_GetScopeOrientation, (unsigned short *a, unsigned short *b))             \
    X(TCS_GetControlSettingUShort, (unsigned short setting, unsigned short *value)) \
    X(TCS_GetControlSettingDouble, (unsigned short setting, double *value))        \
    X(TCS_SelectTrackRate, (unsigned short rate))                                  \
    X(TCS_SetCelestialAlignPoint, (DRAV_Coords pos, unsigned short a, unsigned short b)) \
    X(TCS_SetCelestialAlignFromAlignPoints, (void))                                \
    X(TCS_VoidCelestialAlign, (void))                                              \
    X(TCS_Calibrate, (DRAV_Coords pos))                                            \
    X(TCS_SetEpoch, (double epoch))                                                \
    X(TCS_SetRefractionCorr, (unsigned short on))                                  \
    X(TCS_SetRefractionTemperature, (double celsius))                              \
    X(TCS_SetRefractionPressure, (double pressure))                                \
    X(TCS_SetParkMark, (void))                                                     \
    X(TCS_KillMotion, (void))                                                      \
    X(TCS_GoToCelestialCoords, (DRAV_Coords pos))                                  \
    X(TCS_GoToPark, (void))                                                        \
    X(TCS_SetDispatchHooks, (TCS_DispatchHook before, TCS_DispatchHook after))

// A pointer type per export: TCS_GetVersion_Fn and so on.
#define TCS_DECLARE_POINTER_TYPE(name, params) typedef unsigned short(TCS_CALL *name##_Fn) params;
TCS_ENTRY_POINTS(TCS_DECLARE_POINTER_TYPE)
#undef TCS_DECLARE_POINTER_TYPE

// For a control library: undecorated C exports, visible from the shared
// object. TCS_DECLARE_EXPORTS() declares all 22; each definition must then
// match its declaration (a C function cannot be overloaded).
#ifdef _WIN32
#define TCS_EXPORT extern "C"
#else
#define TCS_EXPORT extern "C" __attribute__((visibility("default")))
#endif
#define TCS_DECLARE_EXPORT(name, params) TCS_EXPORT unsigned short TCS_CALL name params;
#define TCS_DECLARE_EXPORTS() TCS_ENTRY_POINTS(TCS_DECLARE_EXPORT)

#endif
