// The mount side of the fuzzing harness: the fake control library's answers,
// read from the input, and the bounds on the go-to wait.
//
// The wait must end at most about a minute (of the virtual clock) after the
// mount's progress last reached a new high: a mount that has stopped getting
// closer to its target must not hold the host's call for ever, whatever it
// reports meanwhile. Nor may the wait end earlier while the go-to is neither
// complete nor failed.
#include "FuzzHarness.h"
#include "PluginLoader.h"

#include <string.h>

MountRecord gMount;

namespace {

const uint64_t kStallLimitMs = 60000;   // no new high for this long: the wait may be abandoned
const uint64_t kStallSlackMs = 1000;    // and must be, once this much more has passed
const uint64_t kWaitLimitMs = 300000;   // nor may any wait last longer than this, whatever the progress
// A creeping mount's time per poll (the first is "no creep").
const uint64_t kCreepMs[] = {0, 1000, 10000, 30000, 59000, 59999, 61000, 120000};
const unsigned kPollsWithoutEnd = 5000; // a wait that neither ends nor lets time pass
// How long one library call takes, on the virtual clock.
const uint64_t kCallDurationsMs[] = {0, 0, 0, 10, 1000, 30000, 60000, 120000};

struct ProgressAnswer {
    uint16_t status;
    uint16_t percent;
    uint64_t durationMs;
};

struct Mount {
    ByteStream answers;
    bool scripted = false;
    unsigned repeatAfterEnd = 0;   // 0: report 100 once the answers run out; 1-3: repeat that many
    uint64_t creepMs = 0;          // not 0: creep instead, a percent a poll, each taking this long
    bool callsBack = false;        // every call may first make a nested host call
    int nesting = 0;               // nested host calls under way
    int waitCallsOnStack = 0;      // polls and stops under way
    ProgressAnswer history[3] = {};
    unsigned historyCount = 0;
    unsigned repeatIndex = 0;
    unsigned long pollsThisInput = 0;
    // The wait being followed.
    uint16_t best = 0;             // highest progress delivered, 0 at the start
    uint64_t bestSinceMs = 0;      // when it was delivered (the go-to's start for 0)
    unsigned pollsSinceBest = 0;
    uint16_t lastPercent = 0;      // the latest progress delivered
    bool lastPollFailed = false;   // the latest poll answered kTcsNoProvider or kTcsNotAligned
    uint64_t launchMs = 0;         // when the go-to was launched
} mount;

bool Scripted() { return mount.scripted && !mount.answers.Empty(); }

uint16_t Status(uint16_t fallback)
{
    return Scripted() ? PickU16(mount.answers, kStatusCodes) : fallback;
}

bool Delivers(uint16_t status) { return status != kTcsNoProvider && status != kTcsNotAligned; }

void StartWait()
{
    gMount.progressPolls = 0;
    mount.best = 0;
    mount.bestSinceMs = VirtualClockNow();
    mount.pollsSinceBest = 0;
    mount.lastPercent = 0;
    mount.lastPollFailed = false;
    mount.launchMs = VirtualClockNow();
    mount.historyCount = 0;
    mount.repeatIndex = 0;
}

ProgressAnswer NextProgress(bool *idleNow)
{
    ProgressAnswer a = {1, 100, 0};
    *idleNow = false;
    if (Scripted()) {
        a.status = PickU16(mount.answers, kStatusCodes);
        a.percent = PickU16(mount.answers, kPercents);
        uint8_t flags = mount.answers.Byte();
        a.durationMs = kCallDurationsMs[flags & 7];
        *idleNow = (flags & 8) != 0;
        mount.history[mount.historyCount % 3] = a;
        ++mount.historyCount;
    } else if (mount.scripted && mount.creepMs != 0) {
        a.percent = mount.lastPercent < 99 ? mount.lastPercent + 1 : 99; // never quite there
        a.durationMs = mount.creepMs;
    } else if (mount.scripted && mount.repeatAfterEnd != 0) {
        unsigned n = mount.historyCount < mount.repeatAfterEnd ? mount.historyCount : mount.repeatAfterEnd;
        if (n == 0) {
            a.percent = 0; // nothing to repeat: a mount that never moves
        } else {
            unsigned newest = mount.historyCount - 1;
            unsigned pick = newest - (n - 1) + (mount.repeatIndex++ % n);
            a = mount.history[pick % 3];
        }
    }
    return a;
}

// At the start of a poll: the wait should have been abandoned by now?
void CheckWaitGoesOn()
{
    const uint64_t since = VirtualClockNow() - mount.bestSinceMs;
    if (since > kStallLimitMs + kStallSlackMs)
        FuzzFault("go-to wait still polling %llu ms after the progress last rose (to %u%%), "
                  "%u polls since",
                  (unsigned long long)since, mount.best, mount.pollsSinceBest);
    const uint64_t waited = VirtualClockNow() - mount.launchMs;
    if (waited > kWaitLimitMs + kStallSlackMs)
        FuzzFault("go-to wait still polling %llu ms after the launch, at %u%%",
                  (unsigned long long)waited, mount.lastPercent);
    if (mount.pollsSinceBest > kPollsWithoutEnd)
        FuzzFault("go-to wait polled %u times without new progress and without ending",
                  mount.pollsSinceBest);
}

// After the poll, as the plug-in sees it.
void NoteProgress(const ProgressAnswer &a)
{
    mount.lastPollFailed = !Delivers(a.status);
    if (mount.lastPollFailed)
        return;
    mount.lastPercent = a.percent;
    if (a.percent > mount.best) {
        mount.best = a.percent;
        mount.bestSinceMs = VirtualClockNow();
        mount.pollsSinceBest = 0;
    } else {
        ++mount.pollsSinceBest;
    }
}

unsigned short AnswerProgress(MountCall *call)
{
    bool idleNow = false;
    ProgressAnswer a = NextProgress(&idleNow);
    CheckWaitGoesOn();
    ++gMount.progressPolls;
    ++mount.pollsThisInput;
    AdvanceVirtualClock(a.durationMs);
    if (Delivers(a.status))
        *call->out1 = a.percent;
    NoteProgress(a);
    if (idleNow)
        HostIdleDuringWait();
    return a.status;
}

unsigned short AnswerVersion(MountCall *call)
{
    uint16_t status = Status(kTcsDone);
    if (call->text == nullptr || call->size <= 0)
        FuzzFault("TCS_GetVersion called with buffer %p of size %d", (void *)call->text, call->size);
    const char fallback[] = "Fuzz mount";
    const bool fromAnswers = Scripted();
    size_t length = fromAnswers ? mount.answers.Byte() : sizeof fallback - 1;
    // A library may fill the whole buffer it was given, without a terminator.
    for (size_t i = 0; i < length && i < (size_t)call->size; ++i)
        call->text[i] = fromAnswers ? (char)mount.answers.Byte() : fallback[i];
    if (length < (size_t)call->size)
        call->text[length] = '\0';
    return status;
}

unsigned short AnswerPositionRead(MountCall *call)
{
    uint16_t status = Status(kTcsDone);
    MountRecord::PositionRead &read = gMount.reads[mount.nesting];
    ++read.count;
    read.ok = Delivers(status);
    if (read.ok) {
        read.at.X = Scripted() ? PickAngle(mount.answers) : 0.5;
        read.at.Y = Scripted() ? PickAngle(mount.answers) : 0.25;
        *call->outPos = read.at;
    }
    return status;
}

unsigned short AnswerPositional(MountCall *call)
{
    ++gMount.positional;
    gMount.lastPosition = call->inPos;
    uint16_t status = Status(kTcsDone);
    if (call->entry == k_TCS_GoToCelestialCoords) {
        ++gMount.goTos;
        gMount.lastGoToLaunched = status == kTcsDone;
        StartWait();
    }
    return status;
}

} // namespace

void MountStartInput(const uint8_t *answers, size_t size)
{
    mount.answers.data = answers;
    mount.answers.size = size;
    mount.answers.pos = 0;
    const uint8_t mode = mount.answers.Byte();
    mount.repeatAfterEnd = mode & 3;
    mount.callsBack = (mode & 4) != 0;
    mount.creepMs = kCreepMs[(mode >> 3) & 7];
    mount.pollsThisInput = 0;
    mount.scripted = false;
    StartWait();
}

void MountUseScript(bool scripted) { mount.scripted = scripted; }

unsigned long MountPollsThisInput() { return mount.pollsThisInput; }

bool MountWaitTimedOut() { return VirtualClockNow() - mount.launchMs >= kWaitLimitMs; }

bool MountWaitEndedByMount() { return mount.lastPollFailed || mount.lastPercent >= 100; }

// The plug-in looks for a stall before it looks at the time.
bool MountWaitEndedByLimit()
{
    return !MountWaitEndedByMount() && !gMount.sessionEnded && MountWaitTimedOut() &&
           VirtualClockNow() - mount.bestSinceMs < kStallLimitMs;
}

bool MountWaitMayEnd()
{
    return mount.lastPollFailed || mount.lastPercent >= 100 || gMount.sessionEnded ||
           VirtualClockNow() - mount.bestSinceMs >= kStallLimitMs || MountWaitTimedOut();
}

void ResetMountRecord() { gMount = MountRecord(); }

int MountNesting() { return mount.nesting; }

namespace {

// A library that pumps messages while it waits lets the host in: from inside
// any entry point, a nested call of any served operation.
void MaybeCallHostBack()
{
    if (!mount.callsBack || !Scripted() || mount.nesting >= 2)
        return;
    const uint8_t b = mount.answers.Byte();
    if (b < 0xE0)
        return;
    ++mount.nesting;
    if (HostCallFromLibrary(b & 0x1Fu, mount.answers, mount.waitCallsOnStack > 0))
        gMount.sessionEnded = true;
    --mount.nesting;
}

} // namespace

extern "C" __attribute__((visibility("default"))) unsigned short FuzzHarness_MountCall(MountCall *call)
{
    ++gMount.calls;
    // Polls and the motion stop come only from inside a go-to wait, and any
    // call nested in one (from the library or from the host) is inside it too.
    struct WaitCall {
        bool on;
        explicit WaitCall(bool o) : on(o) { mount.waitCallsOnStack += on; }
        ~WaitCall() { mount.waitCallsOnStack -= on; }
    } inWait(call->entry == k_TCS_GetGoToProgress || call->entry == k_TCS_KillMotion);
    MaybeCallHostBack();
    switch (call->entry) {
    case k_TCS_GetVersion: return AnswerVersion(call);
    case k_TCS_GetControlStatus: *call->out1 = Status(kTcsActive); return kTcsDone;
    case k_TCS_GetAlignmentStatus: *call->out1 = Status(kTcsBothAligned); return kTcsDone;
    case k_TCS_GetCelestialCoords: return AnswerPositionRead(call);
    case k_TCS_GetGoToProgress: return AnswerProgress(call);
    case k_TCS_GoToCelestialCoords:
    case k_TCS_Calibrate:
    case k_TCS_SetCelestialAlignPoint: return AnswerPositional(call);
    case k_TCS_KillMotion: ++gMount.stops; return Status(kTcsDone);
    default: return Status(kTcsDone);
    }
}
