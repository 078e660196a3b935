// The host side of the fuzzing harness: turns the script part of an input
// into DoOperation calls with canary-filled records and checks after every
// call what a host can see:
//   - DoOperation answered 0;
//   - no host-owned byte changed outside the fields the operation may write,
//     and records that are not to be read are not touched at all (poisoned
//     under AddressSanitizer, so a mere read is reported);
//   - an operation that is ignored, or guarded while the connection is closed,
//     calls nothing in the control library;
//   - positions reach the library bit for bit, one command per slew or sync;
//   - the menu status agrees with a model of the connection and tracking;
//   - the next idle call is not answered out_Update: the slewing flag is down
//     once a call has returned (while an idle call arriving during the go-to
//     wait must be answered out_Update, which shows the probe can see it);
//   - a centring request points at a record inside the plug-in holding the
//     last position read;
//   - notes come only from the operations that show them, with the caption.
#include "CanaryRecord.h"
#include "FuzzHarness.h"
#include "HostLayout.h"
#include "HostModel.h"
#include "PluginLoader.h"

#include <dlfcn.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <memory>
#include <string>
#include <vector>

#if defined(__SANITIZE_ADDRESS__)
#define HARNESS_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define HARNESS_ASAN 1
#endif
#endif
#ifdef HARNESS_ASAN
#include <sanitizer/asan_interface.h>
#endif

using namespace HostLayout;
using namespace HostModel;

namespace {

const unsigned long kPollBudget = 20000; // progress polls per input; the script stops beyond
const uint8_t kIdleSentinel = 0xC3;
void *const kParamsSentinel = (void *)(uintptr_t)0xC3C3C3C3C3C3C3C3ull;

LoadedPlugin plugin;
const void *pluginBase = nullptr;

struct Model {
    bool open = false;
    bool tracking = false;
} model;

unsigned step = 0;         // script command being run, for fault messages
unsigned currentCode = 0;  // operation code of the outermost call
int depth = 0;             // host calls in progress
DRAV_Coords expectedCentre = {0, 0};

// Handed to operations that must not read their record. Never unpoisoned.
alignas(16) unsigned char unreadable[64];

bool SameBits(double a, double b) { return memcmp(&a, &b, sizeof a) == 0; }

void Call(unsigned code, void *record)
{
    ++depth;
    short result = plugin.DoOperation(code, record);
    --depth;
    if (result != 0)
        FuzzFault("DoOperation(0x%x) returned %d", code, result);
}

// What the menu status table answers, given the fields on entry.
void ExpectedMenu(int32_t command, unsigned char enabledBefore, unsigned char *enabled, unsigned char *check)
{
    const int written = HostModel::MenuEnabled(command, model.open, model.tracking);
    *enabled = written < 0 ? enabledBefore : (unsigned char)written;
    *check = HostModel::MenuChecked(command, model.tracking);
}

void CheckMenuAnswer(const CanaryRecord &m, unsigned char enabledBefore)
{
    unsigned char enabled, check;
    const int32_t command = m.Get<int32_t>(kMenuCommand);
    ExpectedMenu(command, enabledBefore, &enabled, &check);
    const unsigned char gotEnabled = m.Get<uint8_t>(kMenuIsEnabled), gotCheck = m.Get<uint8_t>(kMenuHasCheck);
    if (gotEnabled != enabled || gotCheck != check)
        FuzzFault("menu status %d answered enabled %u check %u, expected %u %u (open %d, tracking %d)",
                  command, gotEnabled, gotCheck, enabled, check, model.open, model.tracking);
}

// The connection and tracking flags as the host sees them, against the model.
void CheckFlags()
{
    for (int32_t command : {8204, 8205, 8206}) {
        CanaryRecord m(MenuStatusLayout(), (unsigned)command, 0);
        m.Put(kMenuCommand, command);
        const unsigned char enabledBefore = m.Get<uint8_t>(kMenuIsEnabled);
        Call(op_MenuStatus, m.data());
        CheckMenuAnswer(m, enabledBefore);
    }
}

void CheckCentreAction(const void *params)
{
    Dl_info info;
    if (dladdr(params, &info) == 0 || info.dli_fbase != pluginBase)
        FuzzFault("centring request at %p does not lie in the plug-in", params);
    const unsigned char *a = (const unsigned char *)params;
    double ra, dec, newFOV;
    memcpy(&ra, a + kCentreRA, sizeof ra);
    memcpy(&dec, a + kCentreDec, sizeof dec);
    memcpy(&newFOV, a + kCentreNewFOV, sizeof newFOV);
    if (a[kCentreUseCustomPan] != 1 || a[kCentrePan] != 0 || a[kCentreAdjustFOV] != 0 || !SameBits(newFOV, 0.0))
        FuzzFault("centring request holds pan %u/%u, adjust %u, FOV %g", a[kCentreUseCustomPan], a[kCentrePan],
                  a[kCentreAdjustFOV], newFOV);
    if (!SameBits(ra, expectedCentre.X) || !SameBits(dec, expectedCentre.Y))
        FuzzFault("centring request at (%.17g, %.17g), last position read (%.17g, %.17g)", ra, dec,
                  expectedCentre.X, expectedCentre.Y);
}

// Checks an idle answer. `duringWait`: the call arrived while a go-to wait
// was under way, so the plug-in must ask for an update.
void CheckIdleAnswer(const CanaryRecord &e, bool duringWait, bool tracking)
{
    const uint8_t operation = e.Get<uint8_t>(kEventOutOperation);
    void *const params = e.Get<void *>(kEventOutParams);
    const bool answered = operation != kIdleSentinel || params != kParamsSentinel;
    if (!answered) {
        if (duringWait)
            FuzzFault("idle call during the go-to wait left the event unanswered");
        return;
    }
    if (operation == out_Update) {
        if (!duringWait)
            FuzzFault("idle call after the call returned was answered out_Update: still slewing");
        if (params != nullptr)
            FuzzFault("out_Update with parameters %p", params);
    } else if (operation == out_CentrePoint && !duringWait) {
        if (!tracking)
            FuzzFault("centring request while tracking is off");
        CheckCentreAction(params);
    } else {
        FuzzFault("idle call answered %u with %p%s", operation, params, duringWait ? " during the go-to wait" : "");
    }
}

void SetIdleSentinels(CanaryRecord *e)
{
    e->Put<void *>(kEventRecordPointer, unreadable); // not to be read
    e->Put(kEventOutOperation, kIdleSentinel);
    e->Put(kEventOutParams, kParamsSentinel);
}

// One idle call; keeps track of the position a centring request must hold.
// Answers whether tracking was on when the call was made (a nested call
// from inside the library may switch it meanwhile).
bool CallIdle(CanaryRecord *e)
{
    const bool tracking = model.tracking;
    const MountRecord::PositionRead &own = gMount.reads[MountNesting()];
    const unsigned readsBefore = own.count;
    Call(op_Idle, e->data());
    if (own.count != readsBefore && own.ok)
        expectedCentre = own.at;
    return tracking;
}

void ProbeIdleAfterCall()
{
    if (!model.open)
        return; // the idle call would be dropped: nothing to see
    CanaryRecord e(EventLayout(), 0, 0);
    SetIdleSentinels(&e);
    const bool tracking = CallIdle(&e);
    CheckIdleAnswer(e, false, tracking);
}

void CheckNotes(size_t before, unsigned char op)
{
    const std::vector<CapturedNote> &notes = CapturedNotes();
    for (size_t i = before; i < notes.size(); ++i) {
        if (op != op_Initialize && op != op_TelescopeConfigure && op != op_TelescopeOpen)
            FuzzFault("operation %u showed the note \"%s\"", op, notes[i].text.c_str());
        if (notes[i].caption != "Telescope Controller" || notes[i].text.empty())
            FuzzFault("note \"%s\" captioned \"%s\"", notes[i].text.c_str(), notes[i].caption.c_str());
    }
}

enum Motion { kNoMotion, kSlew, kSync };

// The motion is stopped once, when a go-to wait gave up after its time
// limit, and never for a go-to that arrived or failed or that nobody followed.
void CheckStops(Motion motion)
{
    const bool followed = motion == kSlew && gMount.goTos == 1 && gMount.lastGoToLaunched;
    if (gMount.stops > (followed ? 1u : 0u))
        FuzzFault("%u motion stops during one call (go-to followed: %d)", gMount.stops, followed);
    if (followed && MountWaitEndedByLimit() && gMount.stops != 1)
        FuzzFault("the go-to wait gave up after its time limit without stopping the motion");
    if (followed && MountWaitEndedByMount() && gMount.stops != 0)
        FuzzFault("the motion was stopped although the go-to had arrived or failed");
}

// What reached the library during one slew, sync or contextual choice.
void CheckMotion(Motion motion, double ra, double dec)
{
    if (motion == kNoMotion && gMount.positional != 0)
        FuzzFault("%u position commands without a slew or sync", gMount.positional);
    if (gMount.positional > 1)
        FuzzFault("%u position commands for one request", gMount.positional);
    if (gMount.positional == 1 &&
        (!SameBits(gMount.lastPosition.X, ra) || !SameBits(gMount.lastPosition.Y, dec)))
        FuzzFault("host asked for (%.17g, %.17g), the library got (%.17g, %.17g)", ra, dec,
                  gMount.lastPosition.X, gMount.lastPosition.Y);
    if (motion == kSync && gMount.goTos != 0)
        FuzzFault("a sync launched a go-to");
    if (motion == kSlew && gMount.goTos != gMount.positional)
        FuzzFault("a slew sent a calibration or an alignment point");
    if (gMount.goTos == 1 && gMount.lastGoToLaunched && gMount.progressPolls == 0)
        FuzzFault("a launched go-to was not followed");
    if (gMount.goTos == 1 && gMount.lastGoToLaunched && !MountWaitMayEnd())
        FuzzFault("the go-to wait ended after %u polls while the mount was still under way",
                  gMount.progressPolls);
    if (gMount.goTos == 1 && !gMount.lastGoToLaunched && gMount.progressPolls != 0)
        FuzzFault("a refused go-to was polled %u times", gMount.progressPolls);
    CheckStops(motion);
}

void BuildMenuAndCheck(CanaryRecord &rec, ByteStream &s, bool runs)
{
    uint8_t choice = s.Byte();
    void *menu = nullptr;
    unsigned hostEntries = 0;
    if (choice != 0xFF) { // 0xFF: no menu at all
        menu = CreateHostMenu();
        hostEntries = choice % 33;
        for (unsigned i = 0; i < hostEntries; ++i)
            AppendHostMenuEntry(menu, 1000 + i, "host entry");
    }
    rec.Put(kBuildMenuHandle, menu);
    Call(op_BuildContextualPopup, rec.data());
    if (menu == nullptr)
        return;
    static const HostMenuEntry added[3] = {{true, false, false, 0, "-"},
                                           {false, true, false, 20000, "Slew Telescope"},
                                           {false, true, false, 20001, "Synch Telescope"}};
    const std::vector<HostMenuEntry> entries = ReadHostMenu(menu);
    DestroyHostMenu(menu);
    const size_t room = 32 - hostEntries;
    const size_t expected = hostEntries + (runs ? (room < 3 ? room : 3) : 0);
    if (entries.size() != expected)
        FuzzFault("menu of %u entries holds %zu after the build, expected %zu", hostEntries,
                  entries.size(), expected);
    for (size_t i = 0; i < entries.size(); ++i) {
        const HostMenuEntry &e = entries[i];
        const bool host = i < hostEntries;
        const HostMenuEntry &want = added[host ? 0 : i - hostEntries];
        if (host ? (e.identifier != 1000 + i || e.text != "host entry")
                 : (e.separator != want.separator || e.enabled != want.enabled ||
                    e.checked != want.checked || e.identifier != want.identifier || e.text != want.text))
            FuzzFault("menu entry %zu is %u \"%s\"", i, e.identifier, e.text.c_str());
    }
}

// What a host call's record holds, as far as the checks need it.
struct Prepared {
    Motion motion = kNoMotion;
    double ra = 0, dec = 0;
    unsigned char enabledBefore = 0;
    int32_t pluginAPI = 0;
    double hostCentreRA = 0, hostCentreDec = 0; // the indicator's, as the host passed them
};

// The record of operation `op`, canary-filled after the script's next byte:
// heap bytes of exactly the record's size, so that AddressSanitizer sees any
// access past it. None for an operation that reads no record.
std::unique_ptr<CanaryRecord> NewRecord(unsigned char op, ByteStream &s)
{
    const uint8_t canary = s.Byte();
    const RecordLayout &layout = LayoutFor(op);
    if (&layout == &NoRecordLayout())
        return nullptr;
    return std::unique_ptr<CanaryRecord>(new CanaryRecord(layout, canary, 0));
}

// Puts the host's inputs of operation `op` into its record from the script.
void PrepareRecord(unsigned char op, bool runs, ByteStream &s, CanaryRecord *rec, Prepared *p)
{
    switch (op) {
    case op_Initialize: {
        static const int32_t apis[] = {4, 3, 2, -1, 7, 0, INT32_MAX, INT32_MIN};
        rec->Put(kInitPluginAPI, p->pluginAPI = PickI32(s, apis));
        break;
    }
    case op_DoContextualPopup: {
        static const int32_t commands[] = {20000, 20001, 19999, 20002, 0, -1};
        const int32_t command = PickI32(s, commands);
        rec->Put(kDoContextMenuCommand, command);
        rec->Put(kDoContextRA, p->ra = PickAngle(s));
        rec->Put(kDoContextDec, p->dec = PickAngle(s));
        p->motion = command == 20000 ? kSlew : command == 20001 ? kSync : kNoMotion;
        break;
    }
    case op_DrawIndicator:
        p->hostCentreRA = rec->Get<double>(kIndCentreRA);
        p->hostCentreDec = rec->Get<double>(kIndCentreDec);
        break;
    case op_MenuStatus: {
        static const int32_t commands[] = {8200, 8201, 8202, 8203, 8204, 8205, 8206, 8207, 8199, 8208, 0, -1};
        rec->Put(kMenuCommand, PickI32(s, commands));
        p->enabledBefore = rec->Get<uint8_t>(kMenuIsEnabled);
        break;
    }
    case op_TelescopeSlew:
    case op_TelescopeSync:
        rec->Put(kTargetRA, p->ra = PickAngle(s));
        rec->Put(kTargetDec, p->dec = PickAngle(s));
        p->motion = op == op_TelescopeSlew ? kSlew : kSync;
        break;
    default:
        break;
    }
    if (!runs)
        p->motion = kNoMotion;
}

// Makes the call with its prepared record (or the unreadable block for an
// operation that has none) and checks the host's bytes after it.
void CallWithRecord(unsigned code, CanaryRecord *rec, ByteStream &s, bool runs, bool served, bool inWait,
                    const char *what)
{
    const unsigned char op = (unsigned char)(code & 0xFFu);
    if (op == op_Idle) {
        SetIdleSentinels(rec);
        const bool tracking = CallIdle(rec);
        if (runs)
            CheckIdleAnswer(*rec, inWait, tracking);
    } else if (op == op_BuildContextualPopup) {
        BuildMenuAndCheck(*rec, s, runs);
    } else {
        Call(code, rec != nullptr ? rec->data() : (void *)unreadable);
    }
    if (rec == nullptr)
        return;
    const std::vector<std::string> faults = rec->Check(served);
    if (!faults.empty())
        FuzzFault("%s: %s", what, faults[0].c_str());
    if (op == op_DrawIndicator && runs && rec->Get<uint8_t>(kIndString) != 8)
        FuzzFault("%s: the indicator's label is %u characters long, not \"Vantorel\"", what, rec->Get<uint8_t>(kIndString));
}

// The plug-in acts on the call: runs it, and for an initialisation accepts the host's version.
bool Served(unsigned char op, bool runs, const Prepared &p) { return runs && (op != op_Initialize || p.pluginAPI >= 3); }

// One host call of `code` with a record of the operation's type, checked.
void HostCall(unsigned code, ByteStream &s)
{
    const unsigned char op = (unsigned char)(code & 0xFFu);
    const bool runs = Runs(op, model.open);
    std::unique_ptr<CanaryRecord> rec = NewRecord(op, s);
    Prepared prepared;
    if (rec != nullptr)
        PrepareRecord(op, runs, s, rec.get(), &prepared);
    const Motion motion = prepared.motion;
    const double ra = prepared.ra, dec = prepared.dec;
    const unsigned char enabledBefore = prepared.enabledBefore;

    currentCode = code;
    ResetMountRecord();
    const size_t notesBefore = CapturedNotes().size();
    CallWithRecord(code, rec.get(), s, runs, Served(op, runs, prepared), false, "the host's record");
#ifndef HARNESS_ASAN
    for (unsigned char b : unreadable)
        if (b != 0xA5)
            FuzzFault("a record that is not to be read was written");
#endif
    const bool quiet = !runs || op == op_MenuStatus || op == op_TelescopeTime ||
                       op == op_TelescopeLocation || op == op_TelescopeTrack;
    if (quiet && gMount.calls != 0)
        FuzzFault("operation %u called the library %u times (connection %s)", op, gMount.calls,
                  model.open ? "open" : "closed");
    CheckMotion(motion, ra, dec);
    if (op == op_MenuStatus)
        CheckMenuAnswer(*rec, enabledBefore);
    if (op == op_DrawIndicator && runs) {
        const MountRecord::PositionRead &own = gMount.reads[0];
        const bool read = own.count != 0 && own.ok;
        const double wantRA = read ? own.at.X : prepared.hostCentreRA;
        const double wantDec = read ? own.at.Y : prepared.hostCentreDec;
        const double gotRA = rec->Get<double>(kIndCentreRA), gotDec = rec->Get<double>(kIndCentreDec);
        if (!SameBits(gotRA, wantRA) || !SameBits(gotDec, wantDec))
            FuzzFault("indicator at (%.17g, %.17g), expected (%.17g, %.17g)", gotRA, gotDec, wantRA, wantDec);
    }
    CheckNotes(notesBefore, op);

    if (op == op_TelescopeOpen)
        model.open = true;
    else if (op == op_TelescopeClose)
        model.open = false;
    else if (op == op_TelescopeTrack && runs)
        model.tracking = !model.tracking;
    CheckFlags();
    ProbeIdleAfterCall();
}

// Operations that may call the library when nested: reading the position.
bool ReadsWhenNested(unsigned char op) { return op == op_Idle || op == op_DrawIndicator; }

uint32_t UpperBits(unsigned pattern) { return ((pattern + 1u) * 0x9E3779B1u) & 0xFFFFFF00u; }

const uint64_t kClockStepsMs[] = {1, 49, 50, 500, 999, 1000, 1001, 1500, 2000, 59999, 60000, 3600000, 86400000};
const uint64_t kIdleSpacingMs[] = {0, 250, 500, 1001};

// One script command: its first byte's top three bits say which kind.
void RunCommand(ByteStream &s)
{
    const uint8_t c = s.Byte();
    const unsigned low = c & 0x1Fu;
    switch (c >> 5) {
    case 0: case 1: case 2: case 3: { // any code; low bits non-zero add upper bits
        const unsigned code = s.Byte();
        HostCall(code | (low ? UpperBits(low) : 0u), s);
        break;
    }
    case 4: HostCall(kServed[low % kServedCount], s); break;
    case 5: HostCall(kServed[low % kServedCount] | UpperBits(low), s); break;
    case 6: AdvanceVirtualClock(kClockStepsMs[low % (sizeof kClockStepsMs / sizeof kClockStepsMs[0])]); break;
    default: // a run of idle calls, a fixed time apart
        for (unsigned i = 0; i <= (low & 7u); ++i) {
            HostCall(op_Idle, s);
            AdvanceVirtualClock(kIdleSpacingMs[low >> 3]);
        }
        break;
    }
}

// Puts the plug-in back to a known state: initialised afresh (a new log, the
// library bound again), connection closed, tracking off. lastIdle cannot be
// reset from outside; stepping the clock past it makes the first tracked idle
// call of every input due, as on a fresh load.
void StartInput()
{
    MountUseScript(false);
    AdvanceVirtualClock(2000);
    CanaryRecord init(InitializeLayout(), 0, 0);
    init.Put<int32_t>(kInitPluginAPI, 4);
    Call(op_Initialize, init.data());
    if (model.tracking) {
        Call(op_TelescopeOpen, nullptr);
        Call(op_TelescopeTrack, nullptr);
        model.tracking = false;
    }
    Call(op_TelescopeClose, nullptr);
    model.open = false;
    ClearCapturedNotes();
    MountUseScript(true);
}

} // namespace

void FuzzFault(const char *format, ...)
{
    fprintf(stderr, "\ntelescope fuzz: invariant broken at script step %u (outermost operation 0x%x):\n  ",
            step, currentCode);
    va_list args;
    va_start(args, format);
    vfprintf(stderr, format, args);
    va_end(args);
    fputc('\n', stderr);
    abort();
}

// The connection as the plug-in has it while the outermost call is under
// way: an open marks it open after its first two status queries, a close
// marks it closed before it calls the library.
bool OpenDuringCall()
{
    const unsigned char outer = (unsigned char)(currentCode & 0xFFu);
    if (outer == op_TelescopeOpen)
        return model.open || gMount.calls > 2;
    if (outer == op_TelescopeClose)
        return false;
    return model.open;
}

bool HostCallFromLibrary(unsigned served, ByteStream &s, bool inWait)
{
    const unsigned char op = kServed[served % kServedCount];
    const bool refused = RefusedWhenNested(op);
    const bool open = OpenDuringCall();
    const bool runs = !refused && (!Guarded(op) || open);
    std::unique_ptr<CanaryRecord> rec = NewRecord(op, s);
    Prepared prepared;
    if (rec != nullptr)
        PrepareRecord(op, runs, s, rec.get(), &prepared);
    const unsigned callsBefore = gMount.calls;
    const size_t notesBefore = CapturedNotes().size();
    CallWithRecord(op, rec.get(), s, runs, Served(op, runs, prepared), inWait, "the host's record of a nested call");
    if (CapturedNotes().size() != notesBefore)
        FuzzFault("nested operation %u showed the note \"%s\"", op, CapturedNotes().back().text.c_str());
    if (gMount.calls != callsBefore && !(runs && ReadsWhenNested(op)))
        FuzzFault("nested operation %u called the library %u times", op, gMount.calls - callsBefore);
    const bool wasOpen = model.open;
    model.open = open;
    if (op == op_MenuStatus)
        CheckMenuAnswer(*rec, prepared.enabledBefore);
    model.open = wasOpen;
    if (op == op_TelescopeTrack && runs)
        model.tracking = !model.tracking;
    return op == op_Terminate || (op == op_Initialize && prepared.pluginAPI >= 3);
}

void HostIdleDuringWait()
{
    if (depth != 1)
        return; // only the outermost call waits
    CanaryRecord e(EventLayout(), 0, 0);
    SetIdleSentinels(&e);
    const bool tracking = CallIdle(&e);
    CheckIdleAnswer(e, true, tracking);
}

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
#ifdef HARNESS_ASAN
    ASAN_POISON_MEMORY_REGION(unreadable, sizeof unreadable);
#else
    memset(unreadable, 0xA5, sizeof unreadable);
#endif
    // The fake library sits where the plug-in looks for the real one, and
    // only the plug-in holds it: released while one of its calls is still on
    // the stack, it takes that code with it, as a real library would.
    SetHostEnvironment("TELESCOPE_DRIVE_C", FAKE_MOUNT_DRIVE_C);
    std::string error;
    if (!LoadPlugin(TELESCOPE_PLUG_PATH, &plugin, &error)) {
        fprintf(stderr, "%s\n", error.c_str());
        exit(1);
    }
    Dl_info info;
    dladdr((void *)plugin.DoOperation, &info);
    pluginBase = info.dli_fbase;
    UseVirtualClock(true, 1000000);
    return 0;
}

// Never unloaded: libFuzzer keeps reading the plug-in's coverage counters.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    size_t scriptLength = size >= 2 ? (size_t)(data[0] | (data[1] << 8)) : 0;
    const size_t available = size >= 2 ? size - 2 : 0;
    if (scriptLength > available)
        scriptLength = available;
    ByteStream script;
    script.data = data + (size >= 2 ? 2 : size);
    script.size = scriptLength;
    MountStartInput(script.data + scriptLength, available - scriptLength);
    StartInput();
    for (step = 1; !script.Empty() && MountPollsThisInput() < kPollBudget; ++step)
        RunCommand(script);
    step = 0;
    currentCode = 0;
    return 0;
}
