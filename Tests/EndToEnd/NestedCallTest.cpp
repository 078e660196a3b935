// Calls that reach the plug-in while another of its calls is under way, on
// the same thread, the way a real host's timer and menus do: from inside a
// note (its modal loop), from inside a control library call (a library that
// pumps messages while it waits), and from the host's code that runs between
// two polls of a go-to (on Windows the wait's box dispatches the host's
// messages). Each case: where the call comes from, what it is, what the
// nested call must answer and the log it must leave. The host keeps a
// floating-point state of its own, which its code must find wherever it runs
// (the simulator runs it through the plug-in's dispatch hooks).
#include "ExpectedText.h"
#include "HostSession.h"

using namespace HostLayout;

namespace {

const char kLaunched[] = "Goto (1.500000,0.300000)->GoTo launched\r\n\r\n";
const char kArrived[] = "GoTo 0%\r\nGoTo 50%\r\nGoTo 100%\r\n";

// kSlewPausing: a go-to, the nested call from between its first two polls.
enum Outer { kSlew, kSlewPausing, kConfigure, kOpen };
// What the nested call must do: be answered as when it comes alone, or
// be refused, leaving the host's record as it was.
enum Answer { kAnswered, kRefused };

struct Case {
    const char *what;
    const char *scenario; // reenter=NAME: from inside that entry point; none: from inside a note
    Outer outer;
    unsigned nested;
    Answer answer;
    std::string log;      // how the log ends
    size_t notes;         // shown during the outer call
    bool loadedAfter;     // the control library still loaded once the outer call is over
};

class Nested : public PlugInTest {
protected:
    void NestedCall(unsigned code, Answer answer, bool *done);
};

// The nested call, with the record of its kind and what it must hold after.
void Nested::NestedCall(unsigned code, Answer answer, bool *done)
{
    if (*done)
        return; // once per case
    *done = true;
    CanaryRecord r = RecordFor(code, 3);
    CanaryRecord eventRecord(EventRecordLayout(), 4);
    if (code == op_TelescopeSlew || code == op_TelescopeSync)
        r = TargetRecord(0.5, 0.25);
    if (code == op_MenuStatus)
        r = MenuStatusRecord(8206);
    if (code == op_Initialize)
        r = InitializeRecord(4);
    if (code == op_Idle)
        r.Put<void *>(kEventRecordPointer, eventRecord.data());
    const unsigned char idleBefore = r.Get<uint8_t>(code == op_Idle ? (size_t)kEventOutOperation : 0);
    EXPECT_EQ(Op(code, r.data()), 0);
    if (answer == kAnswered) {
        switch (code) {
        case op_Initialize: ExpectInitializeAnswer(&r); break;
        case op_DrawIndicator: // the mount still at its start: the go-to has only begun
            ExpectIndicatorAnswer(&r);
            r.Expect(kIndCentreRA, 0.0);
            r.Expect(kIndCentreDec, 0.0);
            break;
        case op_MenuStatus: // slew: enabled while open and not tracking
            r.Expect<uint8_t>(kMenuIsEnabled, 1);
            r.Expect<uint8_t>(kMenuHasCheck, 0);
            break;
        case op_Idle: {
            // During a go-to: an update request; during a note while tracking: a centring request.
            const uint8_t got = r.Get<uint8_t>(kEventOutOperation);
            EXPECT_NE(got, idleBefore) << "the nested idle call was not answered";
            EXPECT_TRUE(got == out_Update || got == out_CentrePoint) << (int)got;
            r.Expect<uint8_t>(kEventOutOperation, got);
            r.Expect(kEventOutParams, r.Get<void *>(kEventOutParams));
            break;
        }
        default: break;
        }
    }
    EXPECT_TRUE(AsExpected(r));
    EXPECT_TRUE(AsExpected(eventRecord));
}

TEST_F(Nested, CallsWhileBusy)
{
    const std::string slew = std::string(kLaunched) + "GoTo 0%\r\n";
    const std::string open = AlignedOpenLog();
    const std::string configure = open.substr(strlen(kActiveBothLines)); // its queries and its note
    const Case cases[] = {
        // From inside a progress poll of the go-to wait.
        {"idle during a go-to", "reenter=TCS_GetGoToProgress", kSlew, op_Idle, kAnswered,
         open + kLaunched + kArrived, 0, true},
        {"menu status during a go-to", "reenter=TCS_GetGoToProgress", kSlew, op_MenuStatus, kAnswered,
         open + kLaunched + kArrived, 0, true},
        {"slew during a go-to", "reenter=TCS_GetGoToProgress", kSlew, op_TelescopeSlew, kRefused,
         open + kLaunched + kArrived, 0, true},
        {"sync during a go-to", "reenter=TCS_GetGoToProgress", kSlew, op_TelescopeSync, kRefused,
         open + kLaunched + kArrived, 0, true},
        {"close during a go-to", "reenter=TCS_GetGoToProgress", kSlew, op_TelescopeClose, kRefused,
         open + kLaunched + kArrived, 0, true},
        // The host ends the session: the wait ends after this poll, the
        // library is released once the poll has returned.
        {"terminate during a go-to", "reenter=TCS_GetGoToProgress", kSlew, op_Terminate, kAnswered,
         open + slew, 0, false},
        {"initialise during a go-to", "reenter=TCS_GetGoToProgress", kSlew, op_Initialize, kAnswered,
         kSimulatorInitLog, 0, true},
        // From the host's code between two polls (its timer, say). A host
        // ending the session ends the wait there, without another poll.
        {"idle between polls", "", kSlewPausing, op_Idle, kAnswered, open + kLaunched + kArrived, 0, true},
        {"indicator between polls", "", kSlewPausing, op_DrawIndicator, kAnswered,
         open + kLaunched + "GoTo 0%\r\nTCS RA = 00:00:00.0 Dec = +00:00:00\r\nGoTo 50%\r\nGoTo 100%\r\n", 0, true},
        {"slew between polls", "", kSlewPausing, op_TelescopeSlew, kRefused, open + kLaunched + kArrived, 0, true},
        {"open between polls", "", kSlewPausing, op_TelescopeOpen, kRefused, open + kLaunched + kArrived, 0, true},
        {"terminate between polls", "", kSlewPausing, op_Terminate, kAnswered, open + slew, 0, false},
        {"initialise between polls", "", kSlewPausing, op_Initialize, kAnswered, kSimulatorInitLog, 0, true},
        // From inside a status query of the open.
        {"terminate during a status query", "reenter=TCS_GetControlStatus", kOpen, op_Terminate, kAnswered,
         open, 1, false},
        {"open during a status query", "reenter=TCS_GetControlStatus", kOpen, op_TelescopeOpen, kRefused,
         open, 1, true},
        // From inside the library's other waits (a library that dispatches
        // the host's messages while it waits for its server): the go-to's
        // launch and the open's status query.
        {"menu status during a go-to's launch", "reenter=TCS_GoToCelestialCoords", kSlew, op_MenuStatus, kAnswered,
         open + kLaunched + kArrived, 0, true},
        {"sync during a go-to's launch", "reenter=TCS_GoToCelestialCoords", kSlew, op_TelescopeSync, kRefused,
         open + kLaunched + kArrived, 0, true},
        {"terminate during a go-to's launch", "reenter=TCS_GoToCelestialCoords", kSlew, op_Terminate, kAnswered,
         open + slew, 0, false},
        {"indicator during a status query", "reenter=TCS_GetControlStatus", kOpen, op_DrawIndicator, kAnswered,
         open, 1, true},
        // From inside the note that configure shows.
        {"configure during a note", "", kConfigure, op_TelescopeConfigure, kRefused, configure, 1, true},
        {"open during a note", "", kConfigure, op_TelescopeOpen, kRefused, configure, 1, true},
        {"idle during a note, tracking", "", kConfigure, op_Idle, kAnswered,
         configure + "TCS RA = 00:00:00.0 Dec = +00:00:00\r\n", 1, true},
        {"terminate during a note", "", kConfigure, op_Terminate, kAnswered, configure, 1, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        StartSession(std::string("align=both,progress=0/50/100,") + c.scenario);
        Open();
        if (c.outer == kConfigure) { // tracking, and the next centring due
            Track();
            EXPECT_EQ(Idle().operation, (unsigned)out_CentrePoint);
            AdvanceVirtualClock(1001);
        }
        const size_t notesBefore = CapturedNotes().size();
        bool done = false;
        WaitBoxView during; // as the host's code sees it when it calls
        bool inHostFloat = false;
        auto nested = [this, &c, &done, &during, &inHostFloat] {
            during = WaitBox();
            inHostFloat = InHostFloatState();
            NestedCall(c.nested, c.answer, &done);
        };
        DefaultHost();
        HostFloat(kDelphiHost); // wherever the host's code runs, it runs in its own state
        const bool hostWindow = c.outer == kSlewPausing && OpenHostWindow();
        if (c.outer == kSlewPausing)
            BetweenPolls(nested);
        else if (c.scenario[0] != '\0')
            OnLibraryCall([&nested](const char *) { nested(); });
        else
            OnNote(nested);
        switch (c.outer) {
        case kSlew: case kSlewPausing: Slew(1.5, 0.3); break;
        case kConfigure: Configure(); break;
        case kOpen: Open(); break;
        }
        OnNote(nullptr);
        OnLibraryCall(nullptr);
        AtNextPause(nullptr);
        EXPECT_TRUE(done) << "the nested call was never made";
        EXPECT_TRUE(inHostFloat) << "the host's code ran in the plug-in's floating-point state";
        if (hostWindow) { // the box up, modal; then gone, the host's window as it was
            EXPECT_TRUE(during.up && !during.ownerEnabled);
            const WaitBoxView after = WaitBox();
            EXPECT_FALSE(after.up);
            EXPECT_TRUE(after.ownerEnabled && after.focusOnHost);
            CloseHostWindow();
        }
        EXPECT_EQ(CapturedNotes().size() - notesBefore, c.notes);
        EXPECT_EQ(LibraryStillLoaded(), c.loadedAfter);
        const std::string log = LogAfterUnload();
        ASSERT_GE(log.size(), c.log.size());
        EXPECT_EQ(log.substr(log.size() - c.log.size()), c.log);
    }
}

} // namespace
