// The telescope control library's binding: its entry points, the loader, the
// wrappers that turn its status codes into texts and log lines, the log
// stream itself, and the sexagesimal angle text used in the log.
#ifndef CONTROL_LIBRARY_BINDING_H
#define CONTROL_LIBRARY_BINDING_H

#include <stdio.h>

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

// The 21 exports, in the order they are resolved:
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
    X(TCS_GoToPark, (void))

// One pointer per export, named as the export; null until resolved and after
// the library is released.
#define TCS_DECLARE_POINTER(name, params)                    \
    typedef unsigned short(TCS_CALL *name##_Fn) params;      \
    extern name##_Fn name;
TCS_ENTRY_POINTS(TCS_DECLARE_POINTER)
#undef TCS_DECLARE_POINTER

// The fixed place of the control library.
extern const char kDravLibraryPath[];

// --- Log (null while no log is open; every write is then dropped) ---
extern FILE *LogFile;
int OpenLogFile(void);
void CloseLogFile(void);
void LogEntry(const char *format, ...)
#ifdef __GNUC__
    __attribute__((format(printf, 1, 2)))
#endif
    ;

// --- Loader ---
int OpenDRAVLibrary(void);
void CloseDRAVLibrary(void);

// --- Provider status: write a text into Msg (50 bytes or more), return the code ---
int GetDRAVControlStatus(char *Msg);
int GetDRAVAlignmentStatus(char *Msg);

// --- Coordinates and go-to ---
int GetDRAVCelestialCoords(double *Ascension, double *Declination);
int SlewDRAVToCelestialCoords(double Ascension, double Declination);
int SlewDRAVProgress(unsigned short *Progress);
// Stops any motion; the library's answer (1 done), 3 without the entry point.
int StopDRAVMotion(void);

// --- Alignment ---
int SyncDRAVToCelestialCoords(double Ascension, double Declination);
int AddCelestialPoint(double Ascension, double Declination);
int SetCelestialAlign(void);
int VoidCelestialAlign(void);

// --- Angle text (buffers of kAngleTextSize characters) ---
namespace AngleMath {
double ceil(double x);
}
double Round(double num);
void LoadHourStrFromRads(char *buff, double FP_val);
void LoadDegreeStrFromRads(char *buff, double FP_val, int degree_form);

enum { kAngleTextSize = 80 };
// The one-line texts the wrappers log for a library's answer.
enum { kMessageTextSize = 80 };

#endif
