// The control library's binding, the log stream and the angle text.
#include "ControlLibraryBinding.h"

#include "Platform/Platform.h"

#include <stdarg.h>
#include <string.h>
#include <type_traits>

// ---------------------------------------------------------------------------
// Log
// ---------------------------------------------------------------------------

FILE *LogFile = NULL;

// Full buffering in a buffer of our own, so the cost per entry and the moment
// text reaches the disk are the same on every C runtime.
static char logBuffer[4096];

int OpenLogFile(void)
{
    LogFile = PlatformOpenTextLog("telelog.txt");
    if (LogFile != NULL)
        setvbuf(LogFile, logBuffer, _IOFBF, sizeof logBuffer);
    return LogFile != NULL ? 1 : 0;
}

void CloseLogFile(void)
{
    if (LogFile != NULL)
        fclose(LogFile);
    LogFile = NULL;
}

// Each entry is formatted on the stack and handed to the stream in one write:
// some C runtimes flush a buffered stream at every line feed that comes
// through character output, which would put each line on the disk by itself.
// The longest entry is a position command with two numbers of the longest
// "%f" text and its outcome; the buffer holds it, so no entry is ever cut.
enum { kLongestEntry = 1024 };
void LogEntry(const char *format, ...)
{
    if (LogFile == NULL)
        return;
    char entry[kLongestEntry];
    va_list args;
    va_start(args, format);
    int n = vsnprintf(entry, sizeof entry, format, args);
    va_end(args);
    if (n < 0)
        return;
    fwrite(entry, 1, (size_t)n < sizeof entry ? (size_t)n : sizeof entry - 1, LogFile);
}

// A number as "%f" writes it in the C locale, whatever locale the host has
// set: the separator the runtime put between the whole and the fraction
// digits becomes '.'. Room for the longest, DBL_MAX's 317 characters.
enum { kFixedTextSize = 320 };
static_assert(kLongestEntry > sizeof "Add Celestial Point (,)->" + 2 * kFixedTextSize + kMessageTextSize,
              "the longest log entry fits the entry buffer");
static const char *FixedText(char *text, double value)
{
    int n = snprintf(text, kFixedTextSize, "%f", value);
    if (n < 0 || n >= kFixedTextSize)
        return text;
    size_t whole = text[0] == '-' ? 1 : 0, fraction = (size_t)n;
    while (text[whole] >= '0' && text[whole] <= '9')
        ++whole;
    while (fraction > whole && text[fraction - 1] >= '0' && text[fraction - 1] <= '9')
        --fraction;
    // Digits, a separator, digits; anything else (inf, nan) is left alone.
    if (whole > (text[0] == '-' ? 1u : 0u) && fraction > whole && fraction < (size_t)n) {
        text[whole] = '.';
        memmove(text + whole + 1, text + fraction, (size_t)n - fraction + 1);
    }
    return text;
}

// ---------------------------------------------------------------------------
// Loader
// ---------------------------------------------------------------------------

const char kDravLibraryPath[] = "c:\\Program Files\\Common Files\\System\\DRAV.dll";

#define TCS_DEFINE_POINTER(name, params) name##_Fn name = NULL;
TCS_ENTRY_POINTS(TCS_DEFINE_POINTER)
#undef TCS_DEFINE_POINTER

static PlatformLibrary DRAV_Handle = NULL;

// The wrappers tell apart the library's answers by their names in
// DravInterface.h. A wrapper whose entry point was never found, or whose
// library is not loaded, behaves as if the library had answered
// kTcsNoProvider.

static void ResolveEntryPoints(void)
{
#define TCS_RESOLVE(name, params) name = (name##_Fn)PlatformFindSymbol(DRAV_Handle, #name);
    TCS_ENTRY_POINTS(TCS_RESOLVE)
#undef TCS_RESOLVE
}

static void ClearEntryPoints(void)
{
#define TCS_CLEAR(name, params) name = NULL;
    TCS_ENTRY_POINTS(TCS_CLEAR)
#undef TCS_CLEAR
}

// The fixed path first. Only when no file is there, the same file under the
// Common Files folder as the system names it: on 64-bit Windows a 32-bit
// vendor installer puts it under "Program Files (x86)", which a 32-bit
// process's "Program Files" path does not reach.
static PlatformLibrary LoadDravLibrary(void)
{
    PlatformLibrary library = PlatformLoadLibrary(kDravLibraryPath);
    if (library != NULL || PlatformFileExists(kDravLibraryPath))
        return library;
    static const char kUnderCommonFiles[] = "\\System\\DRAV.dll";
    char path[300];
    if (!PlatformCommonFilesFolder(path, sizeof path - (sizeof kUnderCommonFiles - 1)))
        return NULL;
    strcat(path, kUnderCommonFiles);
    return PlatformFileExists(path) ? PlatformLoadLibrary(path) : NULL;
}

int OpenDRAVLibrary(void)
{
    int err = 1;
    char buff1[80];

    DRAV_Handle = LoadDravLibrary();
    if (DRAV_Handle == NULL) {
        LogEntry("%s", "Could not open c:\\Program Files\\Common Files\\System\\DRAV.dll: exiting now");
        return 0;
    }
    ResolveEntryPoints();
    // The host's code that a wait of the library's lets in runs in the
    // host's floating-point state.
    if (TCS_SetDispatchHooks != NULL)
        TCS_SetDispatchHooks(PlatformBeforeHostCode, PlatformAfterHostCode);

    const struct {
        bool missing;
        const char *name; // as the log line spells it
    } checked[] = {
        {TCS_GetVersion == NULL, "TCS_GetVersion"},
        {TCS_GetControlStatus == NULL, "TCS_GetControlStatus"},
        {TCS_GetAlignmentStatus == NULL, "TCS_GetAlignmentStatus"},
        {TCS_GetCelestialCoords == NULL, "TCS_GetCelestialCoords"},
        {TCS_GetGoToProgress == NULL, "TCS_GetGoToProgress"},
        {TCS_GetScopeOrientation == NULL, "_TCS_GetScopeOrientation"},
        {TCS_Calibrate == NULL, "TCS_Calibrate"},
        {TCS_KillMotion == NULL, "TCS_KillMotion"},
        {TCS_GoToCelestialCoords == NULL, "TCS_GoToCelestialCoords"},
    };
    for (const auto &entry : checked) {
        if (entry.missing) {
            LogEntry("Could not get addresses for export function %s\n", entry.name);
            err = 0;
        }
    }

    buff1[0] = '\0';
    if (TCS_GetVersion != NULL)
        TCS_GetVersion(buff1, (int)sizeof buff1);
    buff1[sizeof buff1 - 1] = '\0'; // a library that fills all 80 bytes stays readable
    LogEntry("DRAV Version %s\n", buff1);
    return err;
}

void CloseDRAVLibrary(void)
{
    if (TCS_SetDispatchHooks != NULL)
        TCS_SetDispatchHooks(NULL, NULL); // a library loaded elsewhere too keeps no pointer into us
    if (DRAV_Handle != NULL)
        PlatformFreeLibrary(DRAV_Handle);
    DRAV_Handle = NULL;
    ClearEntryPoints(); // later calls get the unbound answer, never a dangling jump
}

// ---------------------------------------------------------------------------
// Provider status
// ---------------------------------------------------------------------------

static const char kTextNotRegistered[] = "TCS Provider is not registered\n";
static const char kTextNotCelestialAligned[] = "TCS Provider is not Celestial aligned\n";
static const char kTextInternalError[] = "DRAV.dll internal error";

// Asks a status entry point; the out-argument is the answer, not the result.
// The two status queries have one signature: a code written to the out-argument.
typedef TCS_GetControlStatus_Fn StatusQuery_Fn;
static_assert(std::is_same<TCS_GetControlStatus_Fn, TCS_GetAlignmentStatus_Fn>::value,
              "both status queries take the same arguments");
static int QueryStatus(StatusQuery_Fn entryPoint)
{
    unsigned short Status = kTcsNoProvider;
    if (entryPoint != NULL) {
        Status = 0;
        entryPoint(&Status);
    }
    return Status;
}

int GetDRAVControlStatus(char *Msg)
{
    int Status = QueryStatus(TCS_GetControlStatus);
    const char *text = Status == kTcsNoProvider ? kTextNotRegistered
                       : Status == kTcsActive   ? "TCS Provider is active\n"
                       : Status == kTcsInactive ? "TCS Provider is inactive\n"
                                                : kTextInternalError;
    strcpy(Msg, text);
    LogEntry("Control->%s", Msg);
    return Status;
}

int GetDRAVAlignmentStatus(char *Msg)
{
    int Status = QueryStatus(TCS_GetAlignmentStatus);
    const char *text = Status == kTcsNoProvider         ? kTextNotRegistered
                       : Status == kTcsNotAligned       ? "TCS Provider is not aligned\n"
                       : Status == kTcsCelestialAligned ? "TCS Provider is Celestial aligned\n"
                       : Status == kTcsBothAligned      ? "TCS Provider is both Celestial and Earth aligned\n"
                                                        : kTextInternalError;
    strcpy(Msg, text);
    LogEntry("Alignment-%s", Msg);
    return Status;
}

// ---------------------------------------------------------------------------
// Coordinates and go-to
// ---------------------------------------------------------------------------

int GetDRAVCelestialCoords(double *Ascension, double *Declination)
{
    static DRAV_Coords Coords;
    static char buffer1[kAngleTextSize];
    static char buffer2[kAngleTextSize];
    static char Msg[kMessageTextSize];

    int Status = TCS_GetCelestialCoords != NULL ? TCS_GetCelestialCoords(&Coords) : kTcsNoProvider;
    if (Status == kTcsNoProvider || Status == kTcsNotAligned) {
        strcpy(Msg, Status == kTcsNoProvider ? kTextNotRegistered : kTextNotCelestialAligned);
        LogEntry("%s", Msg);
    } else {
        *Ascension = Coords.X;
        *Declination = Coords.Y;
        LoadHourStrFromRads(buffer1, Coords.X);
        LoadDegreeStrFromRads(buffer2, Coords.Y, 1);
    }
    LogEntry("TCS RA = %s Dec = %s\n", buffer1, buffer2);
    return Status;
}

int SlewDRAVToCelestialCoords(double Ascension, double Declination)
{
    static DRAV_Coords Coords;
    Coords.X = Ascension;
    Coords.Y = Declination;

    int Status = TCS_GoToCelestialCoords != NULL ? TCS_GoToCelestialCoords(Coords) : kTcsNoProvider;
    const char *Msg = Status == kTcsRefused      ? "GoTo not launched\n"
                      : Status == kTcsNoProvider ? kTextNotRegistered
                      : Status == kTcsNotAligned ? kTextNotCelestialAligned
                                                 : "GoTo launched\n";
    char ra[kFixedTextSize], dec[kFixedTextSize];
    LogEntry("Goto (%s,%s)->%s\n", FixedText(ra, Ascension), FixedText(dec, Declination), Msg);
    return Status == kTcsDone ? 0 : 1;
}

int SlewDRAVProgress(unsigned short *Progress)
{
    char Msg[kMessageTextSize];
    unsigned short p = 0;
    int Status = TCS_GetGoToProgress != NULL ? TCS_GetGoToProgress(&p) : kTcsNoProvider;
    if (Status == kTcsNoProvider || Status == kTcsNotAligned) {
        strcpy(Msg, Status == kTcsNoProvider ? kTextNotRegistered : kTextNotCelestialAligned);
        p = 100; // no progress will come: let the caller's wait end
    } else {
        snprintf(Msg, sizeof Msg, "GoTo %d%%\n", (int)p);
    }
    LogEntry("%s", Msg);
    *Progress = p;
    return Status;
}

int StopDRAVMotion(void)
{
    return TCS_KillMotion != NULL ? TCS_KillMotion() : kTcsNoProvider;
}

// ---------------------------------------------------------------------------
// Alignment
// ---------------------------------------------------------------------------

int SyncDRAVToCelestialCoords(double Ascension, double Declination)
{
    DRAV_Coords Coords = {Ascension, Declination};
    int Status = TCS_Calibrate != NULL ? TCS_Calibrate(Coords) : kTcsNoProvider;
    const char *Msg = Status == kTcsRefused      ? "Calibration unsucessfull\n"
                      : Status == kTcsNoProvider ? kTextNotRegistered
                      : Status == kTcsNotAligned ? kTextNotCelestialAligned
                                                 : "Calibration sucessfull\n";
    char ra[kFixedTextSize], dec[kFixedTextSize];
    LogEntry("Calibrate to (%s,%s)->%s", FixedText(ra, Ascension), FixedText(dec, Declination), Msg);
    return Status == kTcsDone ? 0 : 1;
}

// The texts shared by the three alignment commands; `done` differs only by a
// leading blank between them.
static void AlignmentText(char *Msg, int Status, const char *done)
{
    if (Status == kTcsDone)
        strcpy(Msg, done);
    else if (Status == kTcsNoProvider)
        strcpy(Msg, kTextNotRegistered);
    else if (Status == kTcsNotInLandMode)
        strcpy(Msg, "Not in land mode\n");
    else
        snprintf(Msg, kMessageTextSize, "No success. code %d\n", Status);
}

int AddCelestialPoint(double Ascension, double Declination)
{
    char Msg[kMessageTextSize];
    DRAV_Coords Coords = {Ascension, Declination};
    int Status = TCS_SetCelestialAlignPoint != NULL ? TCS_SetCelestialAlignPoint(Coords, 1, 221)
                                                    : kTcsNoProvider;
    AlignmentText(Msg, Status, "sucessfull\n");
    char ra[kFixedTextSize], dec[kFixedTextSize];
    LogEntry("Add Celestial Point (%s,%s)->%s", FixedText(ra, Ascension), FixedText(dec, Declination), Msg);
    return Status == kTcsDone ? 0 : 1;
}

int SetCelestialAlign(void)
{
    static char Msg[kMessageTextSize];
    int Status = TCS_SetCelestialAlignFromAlignPoints != NULL ? TCS_SetCelestialAlignFromAlignPoints()
                                                              : kTcsNoProvider;
    AlignmentText(Msg, Status, " sucessfull\n");
    LogEntry("SetCelestialAlign->%s", Msg);
    return Status;
}

int VoidCelestialAlign(void)
{
    static char Msg[kMessageTextSize];
    int Status = TCS_VoidCelestialAlign != NULL ? TCS_VoidCelestialAlign() : kTcsNoProvider;
    AlignmentText(Msg, Status, " sucessfull\n");
    LogEntry("VoidCelestialAlign->%s", Msg);
    return Status;
}

// ---------------------------------------------------------------------------
// Angle text
// ---------------------------------------------------------------------------

double AngleMath::ceil(double x)
{
    // Whole already (|x| >= 2^52), infinite or not a number: unchanged.
    if (!(x > -4503599627370496.0 && x < 4503599627370496.0))
        return x;
    double whole = (double)(long long)x; // truncates toward zero
    return whole < x ? whole + 1.0 : whole;
}

double Round(double num)
{
    double ceil_num = AngleMath::ceil(num);
    if (ceil_num - num > 0.5)
        return ceil_num - 1.0;
    return ceil_num; // halves go up; NaN stays NaN
}

// A rounded count as a 32-bit integer, or 0 (false) when it does not fit.
static int CountFits(double count, long *out)
{
    if (!(count >= -2147483648.0 && count <= 2147483647.0))
        return 0;
    *out = (long)(int)count;
    return 1;
}

static const char kHourOutOfRange[] = "--:--:--.-";
static const char kDegreeOutOfRange[] = "--:--:--";

void LoadHourStrFromRads(char *buff, double FP_val)
{
    long vlittle;
    if (!CountFits(Round(FP_val * 10 * 13750.987083139727), &vlittle)) {
        strcpy(buff, kHourOutOfRange);
        return;
    }
    if (vlittle == 864000)
        vlittle = 0;
    long big = vlittle / 36000;
    vlittle -= big * 36000;
    long medium = vlittle / 600;
    vlittle -= medium * 600;
    long little = vlittle / 10;
    vlittle -= little * 10;
    snprintf(buff, kAngleTextSize, "%.2ld:%.2ld:%.2ld.%ld", big, medium, little, vlittle);
}

void LoadDegreeStrFromRads(char *buff, double FP_val, int degree_form)
{
    char sign = '+';
    if (FP_val < 0.0) {
        sign = '-';
        FP_val = -FP_val;
    }
    long little = 0;
    int fits = CountFits(Round(206264.8062470952 * FP_val), &little);
    if (fits && little == 0)
        sign = '+';
    long big = little / 3600;
    little -= big * 3600;
    long medium = little / 60;
    little -= medium * 60;

    if (degree_form == 3 && sign == '-')
        LogEntry("%s", "Problem #1 in RadsToDegreeStr()");
    if (degree_form < 1 || degree_form > 3) {
        LogEntry("%s", "Problem #2 in RadsToDegreeStr()");
        buff[0] = '\0';
    } else if (!fits) {
        strcpy(buff, kDegreeOutOfRange);
    } else if (degree_form == 1) {
        snprintf(buff, kAngleTextSize, "%c%.2ld:%.2ld:%.2ld", sign, big, medium, little);
    } else if (degree_form == 2) {
        snprintf(buff, kAngleTextSize, "%c%.3ld:%.2ld:%.2ld", sign, big, medium, little);
    } else {
        snprintf(buff, kAngleTextSize, "%.3ld:%.2ld:%.2ld", big, medium, little);
    }
}
