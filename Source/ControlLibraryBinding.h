// The telescope control library's binding: its entry points, the loader, the
// wrappers that turn its status codes into texts and log lines, the log
// stream itself, and the sexagesimal angle text used in the log.
#ifndef CONTROL_LIBRARY_BINDING_H
#define CONTROL_LIBRARY_BINDING_H

#include <stdio.h>

#include "DravInterface.h"

// One pointer per export, named as the export; null until resolved and after
// the library is released.
#define TCS_DECLARE_POINTER(name, params) extern name##_Fn name;
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
// Stops any motion; the library's answer (kTcsDone done), kTcsNoProvider
// without the entry point.
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
