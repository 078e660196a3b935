// plugview: a stand-in for the planetarium host with a window. It loads
// telescope.plug by path with LoadLibraryA, nothing redirected, and drives it
// as a window host does: a chart, the Telescope menu whose states are asked
// when it opens, a contextual menu on a star, a 100 ms timer that gives idle
// time, and the field indicator drawn on every repaint. Every record is a
// canary record checked after the call, as in plughost. The plug-in's notes
// are its own message boxes; while one is up the timer keeps calling. A
// second top-level window, the object window, slews to the selection too;
// closing the chart's window terminates and releases the plug-in, whatever
// call is under way, as a host's close handler does.
//
//   plugview PLUGIN [--centre RA DEC] [--probe] [--stamps] [--init-after SECONDS]
//   plugview --close    asks a running plugview to close its chart's window,
//                       from outside (as the system does at log-off)
//
// The transcript on standard output gives what a script needs to find
// things on the screen (screen coordinates of the stars, the indicator and
// the popup entries) and each call with its answer. --probe measures, from
// a second thread, how long the window leaves a message unanswered (in all
// and during go-tos), and from a third whether the system calls it hung.
// --stamps starts that probe with the window and stamps, in the system's
// wall-clock seconds, every stretch of 5 ms or more it saw unanswered, every
// call that is not routine and each note or go-to box that comes up, so that
// a script can tell which call held the window, and set it against probes
// from outside. --init-after shows the window and reads its messages for
// SECONDS before the plug-in is initialised, as a host that loads its
// plug-ins once its window is up.
#include "CanaryRecord.h"
#include "HostLayout.h"
#include "HostModel.h"
#include "HostScript.h"
#include "SkyChart.h"

#include <windows.h>
#include <math.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <atomic>
#include <string>

using namespace HostLayout;

namespace {

enum : int {
    kFirstTelescopeCommand = 8200, kQuitCommand = 9000, kObjectWindowCommand = 9001, kObjectSlew = 1,
    kCentreObjectCommand = 100, kObjectInformationCommand = 101,
    kIdleTimer = 1, kIdleIntervalMs = 100,
    kChartWidth = 820, kChartHeight = 600, kStatusHeight = 22,
    kPickRadius = 10,
};

const char *const kCommandTexts[8] = {"Configure Telescope", "Set Telescope Time", "Set Telescope Location",
                                      "Open Telescope", "Close Telescope", "Track Telescope",
                                      "Slew Telescope", "Sync Telescope"};
const char *const kCommandKeys[8] = {"\tCtrl+F", "", "", "\tCtrl+O", "\tCtrl+W", "\tCtrl+T", "\tCtrl+G", "\tCtrl+Y"};

// The indicator's colour is the host's: the plug-in does not write it.
const COLORREF kSky = RGB(8, 14, 36), kGrid = RGB(36, 58, 104), kStarColour = RGB(255, 250, 225),
               kLabel = RGB(170, 180, 200), kSelection = RGB(90, 230, 120);
const uint16_t kIndicatorRed = 0xFFFF, kIndicatorGreen = 0x3030, kIndicatorBlue = 0x3030;

struct Host {
    HMODULE module = nullptr;
    DoOperationFn DoOperation = nullptr;
    HWND window = nullptr;
    HWND objectWindow = nullptr; // the second top-level window, once opened
    HMENU telescopeMenu = nullptr;
    HMENU openPopup = nullptr; // the contextual menu while it is tracked
    bool popupShown = false;
    ChartView chart = {};
    const ChartStar *selected = nullptr;
    unsigned seed = 1, calls = 0, faults = 0;
    int depth = 0;                 // DoOperation calls under way
    bool open = false;             // the connection, from the commands sent so far
    unsigned nestedIdle = 0, nestedOther = 0;
    std::string status = "no call yet", menuShown, indicatorShown, starsShown;
    std::atomic<bool> probing{false};
    double longestUnanswered = 0;
    // The go-to under way or last made, as the probe sees it: when the call
    // began and ended (0 while it runs), the longest stretch unanswered
    // during go-tos, and the window's hung state as the system reports it.
    std::atomic<double> goToStart{-1}, goToEnd{0};
    double longestDuringGoTos = 0;
    std::atomic<unsigned> hungReadings{0}, readings{0};
    bool stamps = false, initialised = false;
    unsigned roundTrips = 0;
    double probeStarted = 0;
};

Host gHost;

double Now()
{
    LARGE_INTEGER count, rate;
    QueryPerformanceCounter(&count);
    QueryPerformanceFrequency(&rate);
    return (double)count.QuadPart / (double)rate.QuadPart;
}

void Say(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    vprintf(format, args);
    va_end(args);
    fflush(stdout);
}

// Seconds since 1970 on the system's clock, which probes outside plugview
// read too.
double WallClock()
{
    FILETIME t;
    GetSystemTimeAsFileTime(&t);
    const uint64_t ticks = ((uint64_t)t.dwHighDateTime << 32) | t.dwLowDateTime;
    return (double)(ticks - 116444736000000000ull) / 1e7; // 1601 to 1970 in 100 ns
}

void Fault(const std::string &what)
{
    ++gHost.faults;
    Say("FAULT: %s\n", what.c_str());
}

POINT ToScreen(double x, double y)
{
    POINT p = {(LONG)lround(x), (LONG)lround(y)};
    ClientToScreen(gHost.window, &p);
    return p;
}

void ShowStatus(const std::string &text)
{
    gHost.status = text;
    RECT r = {0, kChartHeight, kChartWidth, kChartHeight + kStatusHeight};
    InvalidateRect(gHost.window, &r, FALSE);
}

// One DoOperation call with a canary record: the answer, the record's
// checks, and the calls that arrived while it ran. Routine calls (idle,
// indicator, menu status) are not written to the transcript unless nested.
void Call(OperationT op, const char *opName, CanaryRecord *record, bool routine)
{
    if (gHost.DoOperation == nullptr)
        return; // released
    record->Seal();
    if (gHost.depth > 0) {
        (op == op_Idle ? gHost.nestedIdle : gHost.nestedOther)++;
        if (!routine || gHost.nestedIdle + gHost.nestedOther == 1)
            Say("nested %s while another call is under way\n", opName);
    } else {
        gHost.nestedIdle = gHost.nestedOther = 0;
    }
    const double start = Now(), wallStart = WallClock();
    const bool goTo = gHost.depth == 0 && (op == op_TelescopeSlew || op == op_DoContextualPopup);
    if (goTo) {
        gHost.goToEnd = 0;
        gHost.goToStart = start;
    }
    ++gHost.depth;
    const short answer = gHost.DoOperation(op, record->data());
    --gHost.depth;
    const double took = Now() - start;
    if (goTo)
        gHost.goToEnd = start + took;
    ++gHost.calls;
    if (!routine && gHost.stamps && gHost.depth == 0)
        Say("probe: call %s from %.3f to %.3f\n", opName, wallStart, WallClock());
    if (!routine) {
        Say("call %s -> %d after %.2f s\n", opName, answer, took);
        if (gHost.depth == 0 && gHost.nestedIdle + gHost.nestedOther > 0)
            Say("  %u idle and %u other calls arrived while it ran\n", gHost.nestedIdle, gHost.nestedOther);
    }
    if (answer != 0)
        Fault(std::string(opName) + " answered " + std::to_string(answer) + ", not 0");
    // A call that arrives while another runs may find the connection changed
    // halfway (an open marks it open before its note): only the outermost
    // ones are held to what the model says they may write.
    const unsigned code = (unsigned)op & 0xFFu;
    for (const std::string &f : record->Check(gHost.depth > 0 || HostModel::Runs(code, gHost.open)))
        Fault(f);
    if (gHost.depth == 0 && code == op_TelescopeOpen)
        gHost.open = true;
    else if (gHost.depth == 0 && code == op_TelescopeClose)
        gHost.open = false;
    // After anything but a routine call the telescope may have moved: redraw.
    if (!routine)
        InvalidateRect(gHost.window, nullptr, FALSE);
    if (!routine || gHost.status.rfind("op_", 0) != 0) {
        char text[160];
        snprintf(text, sizeof text, "%s -> %d (%.2f s)   %u calls, %s", opName, answer, took, gHost.calls,
                 gHost.faults ? (std::to_string(gHost.faults) + " FAULTS").c_str() : "every host byte intact");
        ShowStatus(text);
    }
}

void Plain(OperationT op, const char *opName)
{
    CanaryRecord r(NoRecordLayout(), gHost.seed++);
    Call(op, opName, &r, false);
}

void Recentre(double ra, double dec)
{
    gHost.chart.centreRA = ra;
    gHost.chart.centreDec = dec;
    InvalidateRect(gHost.window, nullptr, FALSE);
}

// --- Idle time ---

void ObeyIdleAnswer(const CanaryRecord &event)
{
    const FieldLayout *op = event.Field("fOutOperation"), *params = event.Field("fOutParams");
    if (!event.Changed(*op)) {
        if (event.Changed(*params))
            Fault("op_Idle: fOutParams changed without an action");
        return;
    }
    const void *p = event.Get<void *>(params->offset);
    switch (event.Get<unsigned char>(op->offset)) {
    case out_CentrePoint:
        if (p == nullptr) {
            Fault("op_Idle: out_CentrePoint with a null fOutParams");
            return;
        }
        PCentreAction centre;
        memcpy(&centre, p, sizeof centre);
        if (centre.fRightAscension != gHost.chart.centreRA || centre.fDeclination != gHost.chart.centreDec)
            Say("centre on %s %s\n", FormatRightAscension(centre.fRightAscension).c_str(),
                FormatDeclination(centre.fDeclination).c_str());
        Recentre(centre.fRightAscension, centre.fDeclination);
        break;
    case out_Update:
        if (p != nullptr)
            Fault("op_Idle: out_Update with a non-null fOutParams");
        InvalidateRect(gHost.window, nullptr, FALSE);
        break;
    default:
        Fault("op_Idle: fOutOperation = " + std::to_string(event.Get<unsigned char>(op->offset)) +
              ", not an action");
    }
}

void Idle()
{
    CanaryRecord eventRecord(EventRecordLayout(), gHost.seed++);
    CanaryRecord event(EventLayout(), gHost.seed++);
    eventRecord.Put<int16_t>(kEvWhat, 0);
    eventRecord.Put<uint32_t>(kEvWhen, GetTickCount() / 16);
    eventRecord.Seal();
    event.Put<void *>(kEventRecordPointer, eventRecord.data());
    event.Put<uint32_t>(kEventInWindow, 0);
    Call(op_Idle, "op_Idle", &event, true);
    for (const std::string &f : eventRecord.Check())
        Fault(f);
    ObeyIdleAnswer(event);
}

// --- The Telescope menu ---

void AskMenuStates()
{
    std::string shown = "menu:";
    for (int k = 0; k < 8; ++k) {
        const int command = kFirstTelescopeCommand + k;
        const UINT state = GetMenuState(gHost.telescopeMenu, command, MF_BYCOMMAND);
        CanaryRecord r(MenuStatusLayout(), gHost.seed++);
        r.Put<int32_t>(kMenuCommand, command);
        r.Put<unsigned char>(kMenuIsEnabled, (state & MF_GRAYED) ? 0 : 1);
        r.Put<unsigned char>(kMenuHasCheck, (state & MF_CHECKED) ? 1 : 0);
        r.PutPString(kMenuText, kCommandTexts[k]);
        Call(op_MenuStatus, "op_MenuStatus", &r, true);
        const bool enabled = r.Get<unsigned char>(kMenuIsEnabled) == 1;
        const bool checked = r.Get<unsigned char>(kMenuHasCheck) == 1;
        EnableMenuItem(gHost.telescopeMenu, command, MF_BYCOMMAND | (enabled ? MF_ENABLED : MF_GRAYED));
        CheckMenuItem(gHost.telescopeMenu, command, MF_BYCOMMAND | (checked ? MF_CHECKED : MF_UNCHECKED));
        shown += " " + std::to_string(command) + (enabled ? "+" : "-") + (checked ? "v" : "");
    }
    if (shown != gHost.menuShown)
        Say("%s\n", shown.c_str());
    gHost.menuShown = shown;
}

// The host's time: the Julian date of the system clock.
double JulianDateNow()
{
    FILETIME t;
    GetSystemTimeAsFileTime(&t);
    const double ticks = (double)(((uint64_t)t.dwHighDateTime << 32) | t.dwLowDateTime);
    return 2305813.5 + ticks / 864000000000.0; // 1601-01-01 is JD 2305813.5
}

void Target(OperationT op, const char *opName)
{
    double ra = gHost.chart.centreRA, dec = gHost.chart.centreDec;
    if (gHost.selected != nullptr) {
        ra = gHost.selected->rightAscension;
        dec = gHost.selected->declination;
    }
    Say("target %s at %s %s\n", gHost.selected ? gHost.selected->name : "the chart's centre",
        FormatRightAscension(ra).c_str(), FormatDeclination(dec).c_str());
    CanaryRecord r(TelescopeTargetLayout(), gHost.seed++);
    r.Put<double>(kTargetRA, ra);
    r.Put<double>(kTargetDec, dec);
    Call(op, opName, &r, false);
}

void TelescopeCommand(int command)
{
    switch (command - kFirstTelescopeCommand) {
    case 0: Plain(op_TelescopeConfigure, "op_TelescopeConfigure"); break;
    case 1: {
        CanaryRecord r(TimeLayout(), gHost.seed++);
        r.Put<double>(kTimeJulianDate, JulianDateNow());
        Call(op_TelescopeTime, "op_TelescopeTime", &r, false);
        break;
    }
    case 2: {
        CanaryRecord r(LocationLayout(), gHost.seed++);
        r.PutPString(kLocPlaceName, "Greenwich");
        r.Put<double>(kLocLatitude, 51.4769 * kPi / 180);
        r.Put<double>(kLocLongitude, 0.0);
        r.Put<double>(kLocElevation, 46.0);
        r.Put<int32_t>(kLocTimeZoneSeconds, 0);
        Call(op_TelescopeLocation, "op_TelescopeLocation", &r, false);
        break;
    }
    case 3: Plain(op_TelescopeOpen, "op_TelescopeOpen"); break;
    case 4: Plain(op_TelescopeClose, "op_TelescopeClose"); break;
    case 5: Plain(op_TelescopeTrack, "op_TelescopeTrack"); break;
    case 6: Target(op_TelescopeSlew, "op_TelescopeSlew"); break;
    case 7: Target(op_TelescopeSync, "op_TelescopeSync"); break;
    default: break;
    }
}

// --- The contextual menu on a star ---

void PutSelection(CanaryRecord *r, size_t base, const ChartStar &star)
{
    r->PutPString(base + kSelObjectName, star.name);
    r->Put<int16_t>(base + kSelObjectIconID, 0);
    r->PutPString(base + kSelConstellationName, "");
    r->Put<double>(base + kSelRightAscension, star.rightAscension);
    r->Put<double>(base + kSelDeclination, star.declination);
    r->PutPString(base + kSelObjectType, "Star");
    r->Put<double>(base + kSelMagnitude, star.magnitude);
    r->PutPString(base + kSelUserFormattedName, star.name);
    r->Put<unsigned char>(base + kSelObjectIsSelectable, 1);
    r->Put<unsigned char>(base + kSelIsNewPosition, 0);
}

// Appends what the plug-in wants to a menu that holds the host's own two
// entries, and checks the host's entries are as they were.
void BuildPopup(HMENU menu, const ChartStar &star)
{
    AppendMenuA(menu, MF_STRING, kCentreObjectCommand, "Centre Object");
    AppendMenuA(menu, MF_STRING, kObjectInformationCommand, "Object Information");
    CanaryRecord r(BuildContextLayout(), gHost.seed++);
    PutSelection(&r, kBuildObject, star);
    r.Put<unsigned char>(kBuildBeingDeselected, 0);
    r.Put<void *>(kBuildMenuHandle, menu);
    Call(op_BuildContextualPopup, "op_BuildContextualPopup", &r, false);
    if (GetMenuItemCount(menu) < 2 || GetMenuItemID(menu, 0) != kCentreObjectCommand ||
        GetMenuItemID(menu, 1) != kObjectInformationCommand)
        Fault("op_BuildContextualPopup: the host's own menu entries changed");
}

void Choose(int command, int item, const ChartStar &star)
{
    CanaryRecord r(DoContextLayout(), gHost.seed++);
    r.Put<unsigned char>(kDoContextMenuHandled, 0);
    PutSelection(&r, kDoContextObject, star);
    r.Put<unsigned char>(kDoContextBeingDeselected, 0);
    r.Put<int16_t>(kDoContextMenuItem, (int16_t)item);
    r.Put<int32_t>(kDoContextMenuCommand, command);
    Say("chosen %d on %s\n", command, star.name);
    Call(op_DoContextualPopup, "op_DoContextualPopup", &r, false);
}

void ContextMenu(int x, int y)
{
    const ChartStar *star = StarNear(gHost.chart, x, y, kPickRadius);
    if (star == nullptr)
        return;
    gHost.selected = star;
    InvalidateRect(gHost.window, nullptr, FALSE);
    HMENU menu = CreatePopupMenu();
    BuildPopup(menu, *star);
    const POINT at = ToScreen(x, y);
    Say("popup on %s\n", star->name);
    gHost.openPopup = menu;
    gHost.popupShown = false;
    SetForegroundWindow(gHost.window); // or the menu may not show, nor close when clicked away
    const int command = (int)TrackPopupMenu(menu, TPM_RETURNCMD | TPM_RIGHTBUTTON | TPM_LEFTALIGN | TPM_TOPALIGN,
                                            at.x, at.y, 0, gHost.window, nullptr);
    gHost.openPopup = nullptr;
    int item = -1;
    for (int i = 0; i < GetMenuItemCount(menu); ++i)
        if ((int)GetMenuItemID(menu, i) == command)
            item = i;
    DestroyMenu(menu);
    if (command == kCentreObjectCommand)
        Recentre(star->rightAscension, star->declination);
    else if (command == kObjectInformationCommand)
        ShowStatus(std::string(star->name) + " at " + FormatRightAscension(star->rightAscension) + " " +
                   FormatDeclination(star->declination));
    else if (command != 0)
        Choose(command, item, *star);
}

// Where each entry of the open contextual menu is on the screen.
void ShowPopupEntries()
{
    if (gHost.openPopup == nullptr || gHost.popupShown)
        return;
    // The menu loop may idle before the menu's window is up: then no entry
    // has a place yet, and the next idle tries again.
    RECT rc;
    if (GetMenuItemCount(gHost.openPopup) <= 0 || !GetMenuItemRect(nullptr, gHost.openPopup, 0, &rc))
        return;
    gHost.popupShown = true;
    for (int i = 0; i < GetMenuItemCount(gHost.openPopup); ++i) {
        char text[128] = "";
        GetMenuStringA(gHost.openPopup, i, text, sizeof text, MF_BYPOSITION);
        if (GetMenuItemRect(nullptr, gHost.openPopup, i, &rc))
            Say("popup entry %d \"%s\" at %ld,%ld size %ld,%ld\n", (int)GetMenuItemID(gHost.openPopup, i), text,
                rc.left, rc.top, rc.right - rc.left, rc.bottom - rc.top);
    }
}

// Under Wine without a window manager a message box that opens entirely over
// another window of its process stays unpainted: move the plug-in's note, or
// its go-to progress box (a dialog with a line of text 100 and a Stop button),
// once, as a user would drag it, and say where it is. Called on the timer
// while a call is under way.
BOOL CALLBACK ShowNoteBesideChart(HWND box, LPARAM)
{
    static HWND raised = nullptr;
    char name[16] = "";
    GetClassNameA(box, name, sizeof name);
    if (box == raised || strcmp(name, "#32770") != 0 || !IsWindowVisible(box))
        return TRUE;
    raised = box;
    const HWND what = GetDlgItem(box, 100), stop = GetDlgItem(box, IDCANCEL);
    const bool progressBox = what != nullptr && stop != nullptr;
    RECT chart, r;
    GetWindowRect(gHost.window, &chart);
    GetWindowRect(box, &r);
    // The progress box is wider than the room beside the chart: over its
    // lower right corner instead, the chart's indicator left in view.
    const int x = progressBox ? GetSystemMetrics(SM_CXSCREEN) - (r.right - r.left) - 4 : chart.right + 8;
    const int y = progressBox ? chart.bottom - (r.bottom - r.top) - 40 : chart.top + 200;
    SetWindowPos(box, HWND_TOP, x, y, 0, 0, SWP_NOSIZE);
    RedrawWindow(box, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_FRAME | RDW_ALLCHILDREN | RDW_UPDATENOW);
    char caption[128] = "", text[128] = "";
    GetWindowTextA(box, caption, sizeof caption);
    GetWindowRect(box, &r);
    if (gHost.stamps)
        Say("probe: %s up at %.3f\n", progressBox ? "box" : "note", WallClock());
    if (!progressBox) {
        Say("note \"%s\" up at %ld,%ld size %ld,%ld\n", caption, r.left, r.top, r.right - r.left, r.bottom - r.top);
        return TRUE;
    }
    GetWindowTextA(what, text, sizeof text);
    Say("box \"%s\" up at %ld,%ld size %ld,%ld: %s\n", caption, r.left, r.top, r.right - r.left,
        r.bottom - r.top, text);
    GetWindowRect(stop, &r);
    Say("box Stop at %ld,%ld size %ld,%ld, the chart's window %s%s\n", r.left, r.top, r.right - r.left,
        r.bottom - r.top, IsWindowEnabled(gHost.window) ? "enabled" : "disabled",
        gHost.objectWindow == nullptr             ? ""
        : IsWindowEnabled(gHost.objectWindow) ? ", the object window enabled"
                                              : ", the object window disabled");
    return TRUE;
}

// --- Drawing ---

void DrawGrid(HDC dc)
{
    HPEN pen = CreatePen(PS_SOLID, 1, kGrid), old = (HPEN)SelectObject(dc, pen);
    const double hour = kPi / 12, degree = kPi / 180;
    for (int pass = 0; pass < 2; ++pass) {
        // pass 0: hour circles, every hour; pass 1: parallels, every 10 degrees.
        for (int line = 0; line < (pass == 0 ? 24 : 17); ++line) {
            bool down = false;
            for (int step = 0; step <= 96; ++step) {
                const double ra = pass == 0 ? line * hour : step * (2 * kPi / 96);
                const double dec = pass == 0 ? (-80 + step * (160.0 / 96)) * degree : (-80 + line * 10) * degree;
                double x, y;
                const bool on = ProjectOnChart(gHost.chart, ra, dec, &x, &y) && fabs(x) < 4000 && fabs(y) < 4000;
                if (on && down)
                    LineTo(dc, (int)lround(x), (int)lround(y));
                else if (on)
                    MoveToEx(dc, (int)lround(x), (int)lround(y), nullptr);
                down = on;
            }
        }
    }
    SelectObject(dc, old);
    DeleteObject(pen);
}

void DrawStars(HDC dc)
{
    int count;
    const ChartStar *stars = ChartStars(&count);
    HBRUSH brush = CreateSolidBrush(kStarColour), oldBrush = (HBRUSH)SelectObject(dc, brush);
    HPEN pen = CreatePen(PS_SOLID, 1, kStarColour), oldPen = (HPEN)SelectObject(dc, pen);
    std::string shown;
    for (int i = 0; i < count; ++i) {
        double x, y;
        if (!ProjectOnChart(gHost.chart, stars[i].rightAscension, stars[i].declination, &x, &y) || x < 0 ||
            y < 0 || x >= kChartWidth || y >= kChartHeight)
            continue;
        const int r = (int)lround(fmax(1.5, 4.5 - stars[i].magnitude));
        const int cx = (int)lround(x), cy = (int)lround(y);
        Ellipse(dc, cx - r, cy - r, cx + r + 1, cy + r + 1);
        SetTextColor(dc, &stars[i] == gHost.selected ? kSelection : kLabel);
        TextOutA(dc, cx + r + 3, cy - 6, stars[i].name, (int)strlen(stars[i].name));
        const POINT at = ToScreen(x, y);
        shown += "star " + std::string(stars[i].name) + " at " + std::to_string(at.x) + "," +
                 std::to_string(at.y) + "\n";
    }
    SelectObject(dc, oldBrush);
    SelectObject(dc, oldPen);
    DeleteObject(brush);
    DeleteObject(pen);
    if (shown != gHost.starsShown)
        Say("%s", shown.c_str());
    gHost.starsShown = shown;
}

// Asks the plug-in for the indicator and draws it where it says: a circle
// the size of its field, a cross at its centre and its label.
void DrawIndicator(HDC dc)
{
    CanaryRecord r(IndicatorLayout(), gHost.seed++);
    r.Put<unsigned char>(kIndDrawIndicator, 0);
    r.Put<unsigned char>(kIndDoneDrawing, 0);
    r.Put<double>(kIndCentreRA, gHost.chart.centreRA);
    r.Put<double>(kIndCentreDec, gHost.chart.centreDec);
    r.Put<double>(kIndPixelsPerRadian, gHost.chart.pixelsPerRadian);
    r.Put<uint16_t>(kIndRed, kIndicatorRed);
    r.Put<uint16_t>(kIndGreen, kIndicatorGreen);
    r.Put<uint16_t>(kIndBlue, kIndicatorBlue);
    r.PutPString(kIndString, "");
    r.Put<uint32_t>(kIndWindowThatIsDrawing, (uint32_t)(uintptr_t)gHost.window);
    Call(op_DrawIndicator, "op_DrawIndicator", &r, true);
    double x, y;
    std::string shown = "indicator: none\n";
    if (r.Get<unsigned char>(kIndDrawIndicator) == 1 &&
        ProjectOnChart(gHost.chart, r.Get<double>(kIndCentreRA),
                       r.Get<double>(kIndCentreDec), &x, &y)) {
        const COLORREF colour = RGB(r.Get<uint16_t>(kIndRed) >> 8,
                                    r.Get<uint16_t>(kIndGreen) >> 8,
                                    r.Get<uint16_t>(kIndBlue) >> 8);
        const int cx = (int)lround(x), cy = (int)lround(y);
        const int radius = (int)fmax(4.0, lround(r.Get<double>(kIndVertical) *
                                                 gHost.chart.pixelsPerRadian / 2));
        HPEN pen = CreatePen(PS_SOLID, 2, colour), old = (HPEN)SelectObject(dc, pen);
        HBRUSH oldBrush = (HBRUSH)SelectObject(dc, GetStockObject(NULL_BRUSH));
        Ellipse(dc, cx - radius, cy - radius, cx + radius + 1, cy + radius + 1);
        MoveToEx(dc, cx - radius - 6, cy, nullptr);
        LineTo(dc, cx + radius + 7, cy);
        MoveToEx(dc, cx, cy - radius - 6, nullptr);
        LineTo(dc, cx, cy + radius + 7);
        SelectObject(dc, oldBrush);
        SelectObject(dc, old);
        DeleteObject(pen);
        unsigned char label[256];
        memcpy(label, (const unsigned char *)r.data() + kIndString, sizeof label);
        SetTextColor(dc, colour);
        TextOutA(dc, cx + radius + 4, cy + radius, (const char *)label + 1, label[0]);
        const POINT at = ToScreen(x, y);
        shown = "indicator: " + std::to_string(at.x) + "," + std::to_string(at.y) + " radius " +
                std::to_string(radius) + " \"" + std::string((const char *)label + 1, label[0]) + "\"\n";
    }
    if (shown != gHost.indicatorShown)
        Say("%s", shown.c_str());
    gHost.indicatorShown = shown;
}

void Paint()
{
    PAINTSTRUCT ps;
    HDC windowDC = BeginPaint(gHost.window, &ps);
    HDC dc = CreateCompatibleDC(windowDC);
    HBITMAP bitmap = CreateCompatibleBitmap(windowDC, kChartWidth, kChartHeight + kStatusHeight);
    HBITMAP oldBitmap = (HBITMAP)SelectObject(dc, bitmap);
    RECT chart = {0, 0, kChartWidth, kChartHeight}, status = {0, kChartHeight, kChartWidth, kChartHeight + kStatusHeight};
    HBRUSH sky = CreateSolidBrush(kSky);
    FillRect(dc, &chart, sky);
    DeleteObject(sky);
    FillRect(dc, &status, (HBRUSH)GetStockObject(LTGRAY_BRUSH));
    SetBkMode(dc, TRANSPARENT);
    IntersectClipRect(dc, 0, 0, kChartWidth, kChartHeight);
    DrawGrid(dc);
    DrawStars(dc);
    if (gHost.initialised)
        DrawIndicator(dc);
    SelectClipRgn(dc, nullptr);
    SetTextColor(dc, RGB(0, 0, 0));
    TextOutA(dc, 6, kChartHeight + 4, gHost.status.data(), (int)gHost.status.size());
    BitBlt(windowDC, 0, 0, kChartWidth, kChartHeight + kStatusHeight, dc, 0, 0, SRCCOPY);
    SelectObject(dc, oldBitmap);
    DeleteObject(bitmap);
    DeleteDC(dc);
    EndPaint(gHost.window, &ps);
}

// --- The window ---

void OpenObjectWindow();

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_TIMER:
        if (wParam == kIdleTimer && gHost.depth > 0)
            EnumThreadWindows(GetCurrentThreadId(), ShowNoteBesideChart, 0);
        if (wParam == kIdleTimer)
            Idle();
        return 0;
    case WM_PAINT: Paint(); return 0;
    case WM_ERASEBKGND: return 1;
    case WM_INITMENUPOPUP:
        if ((HMENU)wParam == gHost.telescopeMenu)
            AskMenuStates();
        return 0;
    case WM_ENTERIDLE:
        if (wParam == MSGF_MENU)
            ShowPopupEntries();
        return 0;
    case WM_COMMAND: {
        const int command = LOWORD(wParam);
        if (command == kQuitCommand)
            SendMessageA(window, WM_CLOSE, 0, 0);
        else if (command == kObjectWindowCommand)
            OpenObjectWindow();
        else if (command >= kFirstTelescopeCommand && command < kFirstTelescopeCommand + 8)
            TelescopeCommand(command);
        return 0;
    }
    case WM_LBUTTONDOWN: {
        const ChartStar *star = StarNear(gHost.chart, (short)LOWORD(lParam), (short)HIWORD(lParam), kPickRadius);
        if (star != gHost.selected)
            Say("selected %s\n", star ? star->name : "nothing");
        gHost.selected = star;
        InvalidateRect(window, nullptr, FALSE);
        return 0;
    }
    case WM_RBUTTONUP: ContextMenu((short)LOWORD(lParam), (short)HIWORD(lParam)); return 0;
    case WM_CLOSE:
        // As a host closes: the plug-in terminated and released, even from
        // inside one of its calls (a go-to's box, say), then the window.
        gHost.probing = false; // what follows is the end of the session, not a go-to
        Plain(op_Terminate, "op_Terminate");
        if (gHost.module != nullptr) {
            FreeLibrary(gHost.module);
            gHost.module = nullptr;
            gHost.DoOperation = nullptr;
            Say("plugview: released the plug-in%s\n", gHost.depth > 0 ? " while a call is under way" : "");
        }
        DestroyWindow(window);
        return 0;
    case WM_DESTROY:
        KillTimer(window, kIdleTimer);
        if (gHost.objectWindow != nullptr)
            DestroyWindow(gHost.objectWindow);
        PostQuitMessage(0);
        return 0;
    default: return DefWindowProcA(window, message, wParam, lParam);
    }
}

// The object window: a top-level window of its own (owned by none, as a
// host's tool windows often are) whose button slews to the selection.
LRESULT CALLBACK ObjectWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_COMMAND && LOWORD(wParam) == kObjectSlew) {
        TelescopeCommand(kFirstTelescopeCommand + 6);
        return 0;
    }
    if (message == WM_DESTROY)
        gHost.objectWindow = nullptr;
    return DefWindowProcA(window, message, wParam, lParam);
}

void OpenObjectWindow()
{
    if (gHost.objectWindow != nullptr)
        return;
    HINSTANCE instance = GetModuleHandleA(nullptr);
    WNDCLASSA objectClass = {};
    objectClass.lpfnWndProc = ObjectWindowProc;
    objectClass.hInstance = instance;
    objectClass.hCursor = LoadCursor(nullptr, IDC_ARROW);
    objectClass.hbrBackground = (HBRUSH)(COLOR_BTNFACE + 1);
    objectClass.lpszClassName = "plugview-object";
    RegisterClassA(&objectClass);
    RECT chart;
    GetWindowRect(gHost.window, &chart);
    gHost.objectWindow = CreateWindowA("plugview-object", "plugview - object", WS_OVERLAPPED | WS_CAPTION | WS_VISIBLE,
                                       chart.right + 4, chart.top + 40, 190, 90, nullptr, nullptr, instance, nullptr);
    HWND slew = CreateWindowA("BUTTON", "Slew to the selection", WS_CHILD | WS_VISIBLE | BS_PUSHBUTTON, 10, 14, 160,
                              26, gHost.objectWindow, (HMENU)(UINT_PTR)kObjectSlew, instance, nullptr);
    RECT r;
    GetWindowRect(slew, &r);
    Say("object window Slew at %ld,%ld size %ld,%ld\n", r.left, r.top, r.right - r.left, r.bottom - r.top);
}

HMENU BuildMenuBar()
{
    HMENU bar = CreateMenu(), file = CreatePopupMenu();
    gHost.telescopeMenu = CreatePopupMenu();
    for (int k = 0; k < 8; ++k)
        AppendMenuA(gHost.telescopeMenu, MF_STRING, kFirstTelescopeCommand + k,
                    (std::string(kCommandTexts[k]) + kCommandKeys[k]).c_str());
    AppendMenuA(file, MF_STRING, kObjectWindowCommand, "Object Window\tCtrl+N");
    AppendMenuA(file, MF_STRING, kQuitCommand, "Quit\tCtrl+Q");
    AppendMenuA(bar, MF_POPUP, (UINT_PTR)file, "&File");
    AppendMenuA(bar, MF_POPUP, (UINT_PTR)gHost.telescopeMenu, "&Telescope");
    return bar;
}

HACCEL BuildAccelerators()
{
    ACCEL keys[] = {
        {FCONTROL | FVIRTKEY, 'F', kFirstTelescopeCommand + 0}, {FCONTROL | FVIRTKEY, 'O', kFirstTelescopeCommand + 3},
        {FCONTROL | FVIRTKEY, 'W', kFirstTelescopeCommand + 4}, {FCONTROL | FVIRTKEY, 'T', kFirstTelescopeCommand + 5},
        {FCONTROL | FVIRTKEY, 'G', kFirstTelescopeCommand + 6}, {FCONTROL | FVIRTKEY, 'Y', kFirstTelescopeCommand + 7},
        {FCONTROL | FVIRTKEY, 'Q', kQuitCommand}, {FCONTROL | FVIRTKEY, 'N', kObjectWindowCommand},
    };
    return CreateAcceleratorTableA(keys, sizeof keys / sizeof keys[0]);
}

// From a second thread: how long the window leaves a message unanswered, in
// all and in stretches that overlap a go-to.
DWORD WINAPI Probe(void *)
{
    while (gHost.probing) {
        const double sent = Now(), wallSent = WallClock();
        DWORD_PTR result;
        SendMessageTimeoutA(gHost.window, WM_NULL, 0, 0, SMTO_NORMAL, 600000, &result);
        const double answered = Now(), waited = answered - sent;
        if (!gHost.probing)
            break;
        ++gHost.roundTrips;
        if (gHost.stamps && waited >= 0.005)
            Say("probe: unanswered %.3f s from %.3f to %.3f\n", waited, wallSent, WallClock());
        if (waited > gHost.longestUnanswered)
            gHost.longestUnanswered = waited;
        const double start = gHost.goToStart, end = gHost.goToEnd;
        if (start >= 0 && answered > start && (end == 0 || sent < end) && waited > gHost.longestDuringGoTos)
            gHost.longestDuringGoTos = waited;
        if (waited >= 0.25)
            Say("probe: the window left a message unanswered for %.2f s\n", waited);
        Sleep(5);
    }
    return 0;
}

// From a third thread, every 100 ms: whether the system calls the window hung
// (no message read for 5 s: Windows then puts a ghost window in its place).
DWORD WINAPI HungWatch(void *)
{
    bool hung = false;
    while (gHost.probing) {
        ++gHost.readings;
        const bool now = IsHungAppWindow(gHost.window) != FALSE;
        if (now && gHost.hungReadings++ == 0)
            Say("probe: the system calls the window hung\n");
        if (gHost.stamps && now != hung)
            Say("probe: %s at %.3f\n", now ? "called hung" : "no longer called hung", WallClock());
        hung = now;
        Sleep(100);
    }
    return 0;
}

// Where the chart window's close button is on the screen: the caption's
// point furthest right that the window says is its close button.
void SayCloseButton()
{
    RECT r;
    GetWindowRect(gHost.window, &r);
    const int y = r.top + GetSystemMetrics(SM_CYFRAME) + GetSystemMetrics(SM_CYCAPTION) / 2;
    for (int x = r.right - 1; x > r.right - 80; --x)
        if (SendMessageA(gHost.window, WM_NCHITTEST, 0, MAKELPARAM(x, y)) == HTCLOSE) {
            Say("window close button at %d,%d\n", x - GetSystemMetrics(SM_CXSIZE) / 3, y);
            return;
        }
    Say("window close button: none found\n");
}

// SECONDS of the message loop before the plug-in is initialised (no
// accelerators, no timer yet). A quit (the window closed meanwhile) is left
// for the main loop.
void ReadMessagesFor(double seconds)
{
    const double until = Now() + seconds;
    for (double left = seconds; left > 0; left = until - Now()) {
        MsgWaitForMultipleObjects(0, nullptr, FALSE, (DWORD)(left * 1000) + 1, QS_ALLINPUT);
        MSG message;
        while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
            if (message.message == WM_QUIT) {
                PostQuitMessage((int)message.wParam);
                return;
            }
            TranslateMessage(&message);
            DispatchMessageA(&message);
        }
    }
}

bool Initialise()
{
    CanaryRecord r(InitializeLayout(), gHost.seed++);
    r.Put<int32_t>(kInitPluginAPI, 4);
    r.Put<uint32_t>(kInitWindowID, 0);
    Call(op_Initialize, "op_Initialize", &r, false);
    const bool success = r.Get<unsigned char>(kInitSuccess) == 1;
    gHost.initialised = true;
    Say("initialised: %s, idle time %s, telescope controller %s\n", r.Show("fSuccess").c_str(),
        r.Show("fWantsIdleTime").c_str(), r.Show("fIsTelescopeController").c_str());
    return success;
}

std::string WindowsPath(std::string path)
{
    if (!path.empty() && path[0] == '/')
        path = "Z:" + path;
    for (char &c : path)
        if (c == '/')
            c = '\\';
    return path;
}

int Usage()
{
    fprintf(stderr, "usage: plugview PLUGIN [--centre RA DEC] [--probe] [--stamps] [--init-after SECONDS] | "
                    "plugview --close\n");
    return 2;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 2 || strcmp(argv[1], "--help") == 0)
        return Usage();
    if (strcmp(argv[1], "--close") == 0) {
        HWND chart = FindWindowA("plugview", nullptr);
        return chart != nullptr && PostMessageA(chart, WM_CLOSE, 0, 0) ? 0 : 1;
    }
    gHost.chart = {1.45, 0.12, 1000.0, kChartWidth, kChartHeight};
    bool probe = false;
    double initAfter = -1;
    for (int i = 2; i < argc; ++i) {
        std::string error;
        if (strcmp(argv[i], "--probe") == 0)
            probe = true;
        else if (strcmp(argv[i], "--stamps") == 0)
            probe = gHost.stamps = true;
        else if (strcmp(argv[i], "--init-after") == 0 && i + 1 < argc) {
            char *end;
            initAfter = strtod(argv[++i], &end);
            if (*end != 0 || initAfter < 0 || initAfter > 60)
                return Usage();
        }
        else if (strcmp(argv[i], "--centre") == 0 && i + 2 < argc) {
            if (!ParseRightAscension(argv[i + 1], &gHost.chart.centreRA, &error) ||
                !ParseDeclination(argv[i + 2], &gHost.chart.centreDec, &error)) {
                fprintf(stderr, "plugview: %s\n", error.c_str());
                return 2;
            }
            i += 2;
        } else
            return Usage();
    }
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
    const std::string path = WindowsPath(argv[1]);
    gHost.module = LoadLibraryA(path.c_str());
    if (gHost.module == nullptr) {
        fprintf(stderr, "plugview: cannot load %s (error %lu)\n", argv[1], GetLastError());
        return 2;
    }
    gHost.DoOperation = (DoOperationFn)(void *)GetProcAddress(gHost.module, "DoOperation");
    if (gHost.DoOperation == nullptr) {
        fprintf(stderr, "plugview: %s does not export DoOperation\n", argv[1]);
        FreeLibrary(gHost.module);
        return 2;
    }
    Say("plugview: loaded %s\n", argv[1]);

    WNDCLASSA windowClass = {};
    windowClass.lpfnWndProc = WindowProc;
    windowClass.hInstance = GetModuleHandleA(nullptr);
    windowClass.hCursor = LoadCursor(nullptr, IDC_ARROW);
    windowClass.lpszClassName = "plugview";
    RegisterClassA(&windowClass);
    RECT outer = {0, 0, kChartWidth, kChartHeight + kStatusHeight};
    const DWORD style = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
    AdjustWindowRect(&outer, style, TRUE);
    gHost.window = CreateWindowA("plugview", "plugview - telescope.plug", style, 0, 0, outer.right - outer.left,
                                 outer.bottom - outer.top, nullptr, BuildMenuBar(), windowClass.hInstance, nullptr);
    HANDLE prober = nullptr, watcher = nullptr;
    const auto startProbe = [&] {
        if (!probe || gHost.probing)
            return;
        gHost.probing = true;
        gHost.probeStarted = Now();
        prober = CreateThread(nullptr, 0, Probe, nullptr, 0, nullptr);
        watcher = CreateThread(nullptr, 0, HungWatch, nullptr, 0, nullptr);
    };
    if (gHost.stamps)
        startProbe();
    const auto showWindow = [] {
        ShowWindow(gHost.window, SW_SHOWNORMAL);
        SetForegroundWindow(gHost.window);
        UpdateWindow(gHost.window);
        POINT origin = {0, 0};
        ClientToScreen(gHost.window, &origin);
        Say("window \"plugview - telescope.plug\" client at %ld,%ld size %d,%d\n", origin.x, origin.y, kChartWidth,
            kChartHeight + kStatusHeight);
        SayCloseButton();
    };
    if (initAfter >= 0) {
        showWindow();
        ReadMessagesFor(initAfter);
    }
    if (!Initialise())
        Say("plugview: the plug-in refused the initialisation\n");
    if (initAfter < 0)
        showWindow();
    else
        InvalidateRect(gHost.window, nullptr, FALSE); // now with the indicator
    SetTimer(gHost.window, kIdleTimer, kIdleIntervalMs, nullptr);
    startProbe();

    HACCEL keys = BuildAccelerators();
    MSG message;
    while (GetMessageA(&message, nullptr, 0, 0) > 0) {
        if (!TranslateAcceleratorA(gHost.window, keys, &message)) {
            TranslateMessage(&message);
            DispatchMessageA(&message);
        }
    }
    if (prober != nullptr) {
        gHost.probing = false;
        WaitForSingleObject(prober, 5000);
        WaitForSingleObject(watcher, 5000);
        Say("probe: longest unanswered %.2f s, during go-tos %.2f s; called hung in %u of %u readings\n",
            gHost.longestUnanswered, gHost.longestDuringGoTos, gHost.hungReadings.load(), gHost.readings.load());
        if (gHost.stamps)
            Say("probe: %u round trips in %.1f s\n", gHost.roundTrips, Now() - gHost.probeStarted);
    }
    // Unloading writes the plug-in's log out: released by the close, or here.
    if (gHost.module != nullptr)
        FreeLibrary(gHost.module);
    const bool unloaded = GetModuleHandleA(path.c_str()) == nullptr;
    const bool released = GetModuleHandleA("c:\\Program Files\\Common Files\\System\\DRAV.dll") == nullptr;
    Say("plugview: telescope.plug %s, the control library %s\n", unloaded ? "unloaded" : "still loaded",
        released ? "released" : "still loaded");
    if (!unloaded)
        Fault("telescope.plug still loaded after its release");
    Say("plugview: %u calls, %s\n", gHost.calls,
        gHost.faults ? (std::to_string(gHost.faults) + " FAULTS").c_str() : "every host byte intact");
    return gHost.faults ? 1 : 0;
}
