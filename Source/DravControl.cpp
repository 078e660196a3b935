// The host front end: the load hook, the one exported entry, the dispatch,
// the handlers of the host's operations and the note to the user.
#include "ControlLibraryBinding.h"
#include "HostRecords.h"
#include "Platform/Platform.h"

#include <stdio.h>
#include <string.h>

// ---------------------------------------------------------------------------
// Plug-in-wide state (zero at load)
// ---------------------------------------------------------------------------

unsigned char gConnectionOpened = 0;
unsigned char gIsTracking = 0;
unsigned char telescopeIsSlewing = 0;
PCentreAction gCentreAction;  // handed to the host: must outlive the call
void *gDLLInstance = NULL;

// The go-to wait pauses between polls so it does not spin on the library and
// flood the log, gives up when the mount's progress stops rising, and in any
// case after a few minutes, longer than any real slew takes.
static const unsigned kGoToPollPauseMs = 50;
static const uint64_t kGoToStallLimitMs = 60000;
static const uint64_t kGoToTimeLimitMs = 300000;

// Calls that arrive while another is under way on the same thread (from a
// note's modal loop, or a library that pumps messages while it waits): the
// depth of DoOperation calls, and what a nested terminate or initialisation
// left for the outermost call to do once everything above it has returned.
static unsigned gCallDepth = 0;
enum DeferredEnd : unsigned char { kNothingDeferred, kDeferredRelease, kDeferredRestart };
static DeferredEnd gDeferredEnd = kNothingDeferred;

static const int32_t kPluginAPI = 4; // the host interface this plug-in speaks
static const double kTrackingIntervalSec = 1.0;
static const double kFieldOfView = 0.0174;

enum : int32_t { kFirstTelescopeCommand = 8200, kLastTelescopeCommand = 8207 };
enum : int32_t { kSlewCommand = 20000, kSynchCommand = 20001 };
enum : unsigned { kMenuSeparatorFlag = 0x800 };

// ---------------------------------------------------------------------------
// Note to the user
// ---------------------------------------------------------------------------

// The note's modal loop runs the host's code (its timer, its repaints) in
// the host's own floating-point state.
void NoteToUser(const char *Msg)
{
    PlatformBeforeHostCode();
    PlatformShowNote("Telescope Controller", Msg);
    PlatformAfterHostCode();
}

// ---------------------------------------------------------------------------
// Initialisation and menu status
// ---------------------------------------------------------------------------

unsigned char *PStringAssign(unsigned char *destination, const char *source)
{
    // At most 254 characters, so the trailing zero still fits a 256-byte field.
    size_t length = strlen(source);
    unsigned short n = (unsigned short)(length > 254 ? 254 : length);
    destination[0] = (unsigned char)n;
    destination[n + 1] = 0;
    for (unsigned short charPos = n; charPos > 0;) {
        --charPos;
        destination[charPos + 1] = (unsigned char)source[charPos];
    }
    return destination;
}

// A repeated initialisation starts afresh instead of failing on the log that
// the first one still holds and leaking the first binding.
static void StartSession(void)
{
    CloseDRAVLibrary();
    CloseLogFile();

    if (!OpenLogFile())
        NoteToUser("LogFile opening failed.");
    if (!OpenDRAVLibrary())
        NoteToUser("DRAV Initialization failed.");
    LogEntry("API plugins version %d\n", (int)kPluginAPI);
}

static void DoTerminate(void)
{
    if (gCallDepth > 1)
        gDeferredEnd = kDeferredRelease;
    else
        CloseDRAVLibrary();
}

static void DoInitialize(PInitialize *outInitRecord)
{
    if (outInitRecord->fPluginAPI < 3) {
        outInitRecord->fSuccess = 0;
        return;
    }
    outInitRecord->fPluginAPI = kPluginAPI;
    outInitRecord->fSuccess = 1;
    outInitRecord->fWantsMenuItem = 0;
    outInitRecord->fOptionsMenuItem[0] = 0;
    outInitRecord->fWantsWindow = 0;
    outInitRecord->fWindowMenuItem[0] = 0;
    outInitRecord->fLayer = 40000;
    outInitRecord->fIsTelescopeController = 1;
    outInitRecord->fAboutMenuItem[0] = 0;
    outInitRecord->fWantsIdleTime = 1;
    if (gCallDepth > 1)
        gDeferredEnd = kDeferredRestart; // the library may be on the stack below us
    else
        StartSession();
}

static void DoMenuStatus(PMenuStatus *ioMenuRecord)
{
    const unsigned char open = gConnectionOpened ? 1 : 0;
    const unsigned char tracking = gIsTracking ? 1 : 0;
    ioMenuRecord->fHasCheck = 0;
    switch (ioMenuRecord->fMenuCommand) {
    case 8200: ioMenuRecord->fIsEnabled = 1; break;                        // configure
    case 8201: ioMenuRecord->fIsEnabled = 0; break;                        // time
    case 8202: ioMenuRecord->fIsEnabled = 0; break;                        // location
    case 8203: ioMenuRecord->fIsEnabled = 1; break;                        // open
    case 8204: ioMenuRecord->fIsEnabled = open; break;                     // close
    case 8205: ioMenuRecord->fIsEnabled = open;                            // track
               ioMenuRecord->fHasCheck = tracking; break;
    case 8206: ioMenuRecord->fIsEnabled = (open && !tracking) ? 1 : 0; break; // slew
    case 8207: ioMenuRecord->fIsEnabled = 1; break;                        // sync
    default: break;
    }
}

// ---------------------------------------------------------------------------
// Connection and motion
// ---------------------------------------------------------------------------

static void DoTelescopeConfigure(void)
{
    char Msg1[80], Msg2[80], Msg[160];
    int Control = GetDRAVControlStatus(Msg1);
    int Alignment = GetDRAVAlignmentStatus(Msg2);

    const char *text;
    if (Control == 3)
        text = "Telescope Interface Unavailable\n Check if Vantorel is running\n";
    else if (Control == 201)
        text = "Quorvel is inactive,\n check if Quorvel is in 'startup' mode and change to 'land' mode\n";
    else if (Control == 200 && Alignment == 210)
        text = "Quorvel is not aligned\n.  Execute 'one-star-alignment' before opening connection\n";
    else if (Control == 200 && Alignment == 212)
        text = "Quorvel is just fine!!\n Active and Aligned\n";
    else if (Control == 200)
        text = "Quorvel running but it may not be aligned, try 'one-star-alignment'";
    else
        text = "Telescope Interface Unavailable\n Check if Vantorel is running or reset system\n";
    strcpy(Msg, text);

    LogEntry("Status->%s-%s-%s", Msg1, Msg2, Msg);
    NoteToUser(Msg);
}

static void DoTelescopeOpen(void)
{
    char Msg[160];
    int Control = GetDRAVControlStatus(Msg);
    int Alignment = GetDRAVAlignmentStatus(Msg);
    gConnectionOpened = 1;
    if (Control == 200 && Alignment == 210)
        SetCelestialAlign();
    else
        DoTelescopeConfigure();
}

static void DoTelescopeClose(void)
{
    gConnectionOpened = 0;
    VoidCelestialAlign();
}

static void DoTelescopeTrack(void)
{
    gIsTracking = gIsTracking ? 0 : 1;
}

// The host's time and place are not passed to the mount.
static void DoTelescopeTime(const PTime *) {}
static void DoTelescopeLocation(const PLocation *) {}

// Why a go-to wait ends before the mount reports its arrival, if it does.
static bool WaitAbandoned(PlatformWait *wait, unsigned short progress, unsigned short best, uint64_t now,
                          uint64_t start, uint64_t lastRise)
{
    if (gDeferredEnd != kNothingDeferred)
        return true; // the host is ending the session: the mount goes on by itself
    if (PlatformWaitStopAsked(wait)) {
        StopDRAVMotion();
        LogEntry("GoTo stopped by the user at %d%%\n", (int)progress);
        return true;
    }
    if (now - lastRise >= kGoToStallLimitMs) {
        LogEntry("GoTo stalled at %d%% for %d s (highest %d%%): wait abandoned\n", (int)progress,
                 (int)(kGoToStallLimitMs / 1000), (int)best);
        return true;
    }
    if (now - start >= kGoToTimeLimitMs) {
        int stop = StopDRAVMotion();
        if (stop == 1)
            LogEntry("GoTo not arrived after %d s at %d%%: wait abandoned, motion stopped\n",
                     (int)(kGoToTimeLimitMs / 1000), (int)progress);
        else
            LogEntry("GoTo not arrived after %d s at %d%%: wait abandoned, motion stop refused (code %d)\n",
                     (int)(kGoToTimeLimitMs / 1000), (int)progress, stop);
        return true;
    }
    return false;
}

// The pause between two polls. Where the wait shows its box, the host's
// messages are dispatched meanwhile: its code runs then, in its own
// floating-point state, and may call in (answered by the nested-call rule).
// False when the wait must end without another poll: the host is quitting,
// or ending the session from one of those calls.
static bool PauseBetweenPolls(PlatformWait *wait)
{
    PlatformBeforeHostCode();
    const int goOn = PlatformPauseWait(wait, kGoToPollPauseMs);
    PlatformAfterHostCode();
    return goOn && gDeferredEnd == kNothingDeferred;
}

static void SlewTelescope(double inRightAscension, double inDeclination)
{
    if (SlewDRAVToCelestialCoords(inRightAscension, inDeclination) != 0)
        return;

    unsigned short Progress = 0;
    telescopeIsSlewing = 1;
    // The target as the log writes positions.
    char ra[kAngleTextSize], dec[kAngleTextSize], target[2 * kAngleTextSize + 16];
    LoadHourStrFromRads(ra, inRightAscension);
    LoadDegreeStrFromRads(dec, inDeclination, 1);
    snprintf(target, sizeof target, "Slewing to %s %s", ra, dec);
    PlatformWait wait;
    PlatformBeginWait(&wait, "Telescope Controller", target);
    // Only a new highest progress counts as moving: a mount whose answers
    // fall back and climb again must not hold the host's call for ever.
    unsigned short best = 0;
    const uint64_t start = PlatformMilliseconds();
    uint64_t lastRise = start;
    for (;;) {
        SlewDRAVProgress(&Progress);
        if (Progress >= 100)
            break; // arrived, or no progress will come
        uint64_t now = PlatformMilliseconds();
        if (Progress > best) {
            best = Progress;
            lastRise = now;
        }
        if (WaitAbandoned(&wait, Progress, best, now, start, lastRise))
            break;
        PlatformShowWaitProgress(&wait, Progress, (unsigned)((now - start) / 1000));
        if (!PauseBetweenPolls(&wait))
            break;
    }
    PlatformEndWait(&wait);
    telescopeIsSlewing = 0;
}

static void SynchTelescope(double inRightAscension, double inDeclination)
{
    char Msg[160];
    int Control = GetDRAVControlStatus(Msg);
    int Alignment = GetDRAVAlignmentStatus(Msg);
    if (Control == 200 && (Alignment == 212 || Alignment == 211))
        SyncDRAVToCelestialCoords(inRightAscension, inDeclination);
    else
        AddCelestialPoint(inRightAscension, inDeclination);
}

// ---------------------------------------------------------------------------
// Idle tracking and field indicator
// ---------------------------------------------------------------------------

static double ClockSec(void)
{
    double rawTime = (double)PlatformMilliseconds();
    double timeSec = rawTime * 0.001;
    return timeSec;
}

static void GetTelescopeRaDec(double *outRightAscension, double *outDeclination)
{
    GetDRAVCelestialCoords(outRightAscension, outDeclination);
}

static double GetTelescopeFieldOfView(void)
{
    return kFieldOfView;
}

static void DoIdle(PEvent *ioEvent)
{
    static double lastIdle = 0.0;
    static unsigned char init = 0;
    if (!init) {
        lastIdle = 0.0;
        init = 1;
    }
    if (gIsTracking && ClockSec() - lastIdle > kTrackingIntervalSec) {
        lastIdle = ClockSec();
        ioEvent->fOutOperation = out_CentrePoint;
        GetTelescopeRaDec(&gCentreAction.fRightAscension, &gCentreAction.fDeclination);
        gCentreAction.fUseCustomPan = 1;
        gCentreAction.fPan = 0;
        gCentreAction.fAdjustFOV = 0;
        ioEvent->fOutParams = &gCentreAction;
    }
    if (telescopeIsSlewing) {
        ioEvent->fOutOperation = out_Update;
        ioEvent->fOutParams = NULL;
    }
}

static void DoDrawIndicator(PIndicator *outIndicator)
{
    outIndicator->fDrawIndicator = 1;
    outIndicator->fIndicatorStyle = 0;
    outIndicator->fDoneDrawing = 1;
    GetTelescopeRaDec(&outIndicator->fCentreRA, &outIndicator->fCentreDec);
    outIndicator->fVertical = GetTelescopeFieldOfView();
    outIndicator->fHorizontal = 0.0;
    outIndicator->fRollAngle = 0.0;
    PStringAssign(outIndicator->fString, "Vantorel");
}

// ---------------------------------------------------------------------------
// Contextual popup
// ---------------------------------------------------------------------------

static void DoBuildContextualPopup(const PBuildContext *inBuildContext)
{
    char itemText[255];
    unsigned flags = kMenuSeparatorFlag;
    bool success = PlatformAppendMenu(inBuildContext->fMenuHandle, flags, 0, "-") != 0;
    flags = 0;
    strcpy(itemText, "Slew Telescope");
    success = PlatformAppendMenu(inBuildContext->fMenuHandle, flags, kSlewCommand, itemText) != 0;
    strcpy(itemText, "Synch Telescope");
    success = PlatformAppendMenu(inBuildContext->fMenuHandle, flags, kSynchCommand, itemText) != 0;
    (void)success; // a failed append is reported nowhere
}

static void DoContextualPopup(const PDoContext *inContext)
{
    int32_t command = inContext->fMenuCommand;
    if (command == kSlewCommand)
        SlewTelescope(inContext->fObject.fRightAscension, inContext->fObject.fDeclination);
    else if (command == kSynchCommand)
        SynchTelescope(inContext->fObject.fRightAscension, inContext->fObject.fDeclination);
}

// ---------------------------------------------------------------------------
// Entry and dispatch
// ---------------------------------------------------------------------------

extern "C" int PLATFORM_ENTRY_CALL DllMain(void *hInst, unsigned long wDataSeg, void *lpReserved)
{
    if (wDataSeg == 1)
        gDLLInstance = hInst;
    // Unloaded by the host (not process exit): the shared C runtime does not
    // close our stream, so write the log out now.
    if (wDataSeg == 0 && lpReserved == NULL)
        CloseLogFile();
    return 1;
}

constexpr uint32_t Bit(OperationT op) { return 1u << op; }

// The fifteen operations served, and those among them that need an open
// connection.
static const uint32_t kGuardedCodes =
    Bit(op_Idle) | Bit(op_BuildContextualPopup) | Bit(op_DoContextualPopup) | Bit(op_DrawIndicator) |
    Bit(op_TelescopeTime) | Bit(op_TelescopeLocation) | Bit(op_TelescopeTrack) | Bit(op_TelescopeSlew) |
    Bit(op_TelescopeSync);
static const uint32_t kServedCodes = kGuardedCodes | Bit(op_Initialize) | Bit(op_Terminate) |
                                     Bit(op_MenuStatus) | Bit(op_TelescopeConfigure) |
                                     Bit(op_TelescopeOpen) | Bit(op_TelescopeClose);
static_assert(__builtin_popcount(kServedCodes) == 15 && __builtin_popcount(kGuardedCodes) == 9 &&
                  (kGuardedCodes & ~kServedCodes) == 0,
              "fifteen served, nine of them guarded");

// Refused while another call is under way: the commands that talk to the
// mount or show a note. Idle, menu status, the indicator, the contextual
// menu's building and the tracking switch are answered at any depth, so the
// host's timer and menus keep working; terminate and initialise are deferred.
static const uint32_t kRefusedWhenNested = Bit(op_TelescopeConfigure) | Bit(op_TelescopeOpen) |
                                           Bit(op_TelescopeClose) | Bit(op_TelescopeSlew) |
                                           Bit(op_TelescopeSync) | Bit(op_DoContextualPopup);

// Reads a coordinate at a byte offset of the host's target record.
static double TargetCoordinate(const void *record, size_t offset)
{
    double value;
    memcpy(&value, (const unsigned char *)record + offset, sizeof value);
    return value;
}

static void Dispatch(unsigned char code, void *ioParams)
{
    switch (code) {
    case op_Initialize: if (ioParams) DoInitialize((PInitialize *)ioParams); break;
    case op_Terminate: DoTerminate(); break;
    case op_Idle: if (ioParams) DoIdle((PEvent *)ioParams); break;
    case op_BuildContextualPopup:
        if (ioParams) DoBuildContextualPopup((const PBuildContext *)ioParams);
        break;
    case op_DoContextualPopup: if (ioParams) DoContextualPopup((const PDoContext *)ioParams); break;
    case op_DrawIndicator: if (ioParams) DoDrawIndicator((PIndicator *)ioParams); break;
    case op_MenuStatus: if (ioParams) DoMenuStatus((PMenuStatus *)ioParams); break;
    case op_TelescopeConfigure: DoTelescopeConfigure(); break;
    case op_TelescopeTime: DoTelescopeTime((const PTime *)ioParams); break;
    case op_TelescopeLocation: DoTelescopeLocation((const PLocation *)ioParams); break;
    case op_TelescopeOpen: DoTelescopeOpen(); break;
    case op_TelescopeClose: DoTelescopeClose(); break;
    case op_TelescopeTrack: DoTelescopeTrack(); break;
    case op_TelescopeSlew:
        if (ioParams)
            SlewTelescope(TargetCoordinate(ioParams, kTelescopeTargetRAOffset),
                          TargetCoordinate(ioParams, kTelescopeTargetDecOffset));
        break;
    case op_TelescopeSync:
        if (ioParams)
            SynchTelescope(TargetCoordinate(ioParams, kTelescopeTargetRAOffset),
                           TargetCoordinate(ioParams, kTelescopeTargetDecOffset));
        break;
    default: break; // not served
    }
}

// What a nested terminate or initialisation asked for, done once nothing of
// the library is left on the stack. Still counted as a call under way, so
// that calls arriving meanwhile (from a note, say) are nested ones.
static void RunDeferredEnd(void)
{
    while (gDeferredEnd != kNothingDeferred) {
        DeferredEnd end = gDeferredEnd;
        gDeferredEnd = kNothingDeferred;
        if (end == kDeferredRestart)
            StartSession();
        else
            CloseDRAVLibrary();
    }
}

// A handled operation, at whatever depth it arrives. Kept out of line so
// that the path of ignored codes stays a bit test.
static __attribute__((noinline)) void Serve(unsigned char code, void *ioParams)
{
    if (gCallDepth > 0 && ((kRefusedWhenNested >> code) & 1u))
        return;
    // The host's floating-point state is the host's: ours while we work.
    PlatformFloatState hostFloat = PlatformUseOwnFloatState();
    const bool outermost = gCallDepth == 0;
    if (outermost)
        PlatformKeepHostFloatState(&hostFloat);
    ++gCallDepth;
    Dispatch(code, ioParams);
    if (gCallDepth == 1)
        RunDeferredEnd();
    --gCallDepth;
    if (outermost)
        PlatformKeepHostFloatState(NULL);
    PlatformRestoreFloatState(&hostFloat);
}

// The operation code arrives in a 32-bit slot; only its low byte counts.
// DoOperation itself on POSIX, exported by visibility; on Windows the
// platform's DoOperation (exported by the .def file) calls it.
extern "C" __attribute__((visibility("default"))) short PLATFORM_OPERATION_ENTRY(unsigned int inOperation,
                                                                                 void *ioParams)
{
    const unsigned char code = (unsigned char)(inOperation & 0xFFu);
    // One bit test decides: the host sends ignored codes, and guarded ones
    // while closed, on every tick, and they should cost no more than that.
    const uint32_t handled = gConnectionOpened ? kServedCodes : kServedCodes & ~kGuardedCodes;
    if (code >= 32 || !((handled >> code) & 1u))
        return 0;
    Serve(code, ioParams);
    return 0;
}
