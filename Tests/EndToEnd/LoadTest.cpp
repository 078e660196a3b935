// A long run of random host calls: codes 0-255 with random upper bits,
// in whatever connection and tracking state the run has reached, each with a
// canary-filled record of its kind. Every call must answer 0 and leave every
// byte the host owns as it was. The seed is printed; TELESCOPE_LOAD_SEED
// replays a run.
#include "HostModel.h"
#include "HostSession.h"

#include <stdio.h>
#include <stdlib.h>

#include <random>

using namespace HostLayout;
using namespace HostModel;

namespace {

const int kCalls = 100000;
const unsigned kDefaultSeed = 20261208;

class LoadRun : public PlugInTest {};

TEST_F(LoadRun, RandomCallsInRandomStatesLeaveTheHostsBytes)
{
    const char *seedText = getenv("TELESCOPE_LOAD_SEED");
    const unsigned seed = seedText ? (unsigned)strtoul(seedText, nullptr, 10) : kDefaultSeed;
    printf("random host calls: %d, seed %u (TELESCOPE_LOAD_SEED=%u replays it)\n", kCalls, seed, seed);
    RecordProperty("seed", (int)seed);
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> ra(0.0, 6.283), dec(-1.57, 1.57);

    InstallLibrary();
    SetHostEnvironment("DRAV_SIM_JOURNAL", nullptr); // a journal line per call would dominate the run
    SetScenario("align=both,progress=40/100");
    bool open = false, tracking = false;
    // Where the simulator points: its start until a slew or sync moves it
    // (a go-to arrives on its second poll), back there at each fresh load.
    // The host's centre stays while no library is bound (before the first
    // accepted initialisation, after a terminate).
    double mountRA = 0, mountDec = 0;
    bool bound = false;
    for (int i = 0; i < kCalls; ++i) {
        // Half the calls draw from the fifteen served codes, so that every
        // handler runs thousands of times in every state.
        const unsigned code = rng() % 2 ? rng() % 256 : kServed[rng() % kServedCount];
        const unsigned bits = rng() % 2 ? rng() & 0xFFFFFF00u : 0;
        const bool runs = Runs(code, open);
        CanaryRecord r = RecordFor(code, (unsigned)i);
        CanaryRecord eventRecord(EventRecordLayout(), (unsigned)i + 1);
        void *menu = nullptr;
        int32_t command = 0, api = 0;
        double targetRA = 0, targetDec = 0;
        switch (code) {
        case op_Initialize:
            // Accepted (3 or more) half the time: each accepted one loads the
            // simulator afresh.
            api = (int32_t)(rng() % 8) - 1;
            r.Put<int32_t>(kInitPluginAPI, api);
            break;
        case op_Idle: r.Put<void *>(kEventRecordPointer, eventRecord.data()); break;
        case op_BuildContextualPopup: menu = CreateHostMenu(); r.Put(kBuildMenuHandle, menu); break;
        case op_DoContextualPopup:
            r.Put<int32_t>(kDoContextMenuCommand, command = rng() % 3 == 0 ? (int32_t)rng() : 20000 + (int32_t)(rng() % 2));
            r.Put(kDoContextRA, targetRA = ra(rng));
            r.Put(kDoContextDec, targetDec = dec(rng));
            break;
        case op_MenuStatus: r.Put<int32_t>(kMenuCommand, command = 8195 + (int32_t)(rng() % 18)); break;
        case op_TelescopeSlew:
        case op_TelescopeSync:
            r.Put(kTargetRA, targetRA = ra(rng));
            r.Put(kTargetDec, targetDec = dec(rng));
            break;
        }
        const uint8_t hostOperation = r.Get<uint8_t>(kEventOutOperation);
        const void *hostParams = r.Get<void *>(kEventOutParams);
        AdvanceVirtualClock(rng() % 1500);
        const bool nullRecord = rng() % 100 == 0;
        const short result = Op(code | bits, nullRecord ? nullptr : r.data());
        ASSERT_EQ(result, 0) << "call " << i << ", code 0x" << std::hex << (code | bits);
        if (runs && !nullRecord) {
            if (code == op_Initialize) {
                if (api >= 3)
                    ExpectInitializeAnswer(&r);
                else
                    r.Expect<uint8_t>(kInitSuccess, 0);
            } else if (code == op_Idle) {
                const uint8_t operation = r.Get<uint8_t>(kEventOutOperation);
                const void *params = r.Get<void *>(kEventOutParams);
                if (operation != hostOperation || params != hostParams) {
                    EXPECT_TRUE(tracking) << "call " << i << ": a request while not tracking";
                    EXPECT_EQ(operation, (uint8_t)out_CentrePoint) << "call " << i;
                    EXPECT_NE(params, nullptr) << "call " << i;
                }
                r.Expect(kEventOutOperation, operation);
                r.Expect(kEventOutParams, params);
            } else if (code == op_DrawIndicator) {
                ExpectIndicatorAnswer(&r);
                if (bound) {
                    EXPECT_NEAR(r.Get<double>(kIndCentreRA), mountRA, 1e-9) << "call " << i;
                    EXPECT_NEAR(r.Get<double>(kIndCentreDec), mountDec, 1e-9) << "call " << i;
                    r.Expect(kIndCentreRA, r.Get<double>(kIndCentreRA)); // compared just above
                    r.Expect(kIndCentreDec, r.Get<double>(kIndCentreDec));
                }
            } else if (code == op_MenuStatus) {
                const int enabled = MenuEnabled(command, open, tracking);
                if (enabled >= 0)
                    r.Expect<uint8_t>(kMenuIsEnabled, (uint8_t)enabled);
                r.Expect<uint8_t>(kMenuHasCheck, MenuChecked(command, tracking));
            } else if (code == op_BuildContextualPopup) {
                EXPECT_EQ(ReadHostMenu(menu).size(), 3u) << "call " << i;
            }
        }
        ASSERT_TRUE(AsExpected(r)) << "call " << i << ", code 0x" << std::hex << (code | bits)
                                    << (open ? ", open" : ", closed");
        ASSERT_TRUE(AsExpected(eventRecord)) << "call " << i;
        if (menu != nullptr)
            DestroyHostMenu(menu);
        const bool moves = code == op_TelescopeSlew || code == op_TelescopeSync ||
                           (code == op_DoContextualPopup && (command == 20000 || command == 20001));
        if (runs && !nullRecord && moves) {
            mountRA = targetRA;
            mountDec = targetDec;
        } else if (code == op_Initialize && api >= 3 && !nullRecord) {
            mountRA = mountDec = 0;
            bound = true;
        } else if (code == op_Terminate) {
            bound = false;
        }
        if (code == op_TelescopeOpen)
            open = true;
        else if (code == op_TelescopeClose)
            open = false;
        else if (code == op_TelescopeTrack && open)
            tracking = !tracking;
        if (i % 1000 == 999)
            ClearCapturedNotes();
    }
    Terminate();
}

} // namespace
