// DoOperation's dispatch, without a control library: every code from 0 to
// 255 with upper bits set, the connection guard, null records, the load hook.
#include "HostModel.h"
#include "HostSession.h"

#ifdef _WIN32
#include <windows.h>
#endif

using namespace HostLayout;

namespace {

const unsigned kUpperBits[] = {0x0u, 0x100u, 0xFF00u, 0x12345600u, 0x80000000u, 0xFFFFFF00u};

bool IsGuarded(unsigned code) { return HostModel::Guarded(code); }
bool IsUnserved(unsigned code) { return !HostModel::Served(code); }

// What op_TelescopeOpen logs when no library answers: four status queries
// and the explanation of status 3.
const char kOpenWithoutLibraryLog[] =
    "Control->TCS Provider is not registered\r\n"
    "Alignment-TCS Provider is not registered\r\n"
    "Control->TCS Provider is not registered\r\n"
    "Alignment-TCS Provider is not registered\r\n"
    "Status->TCS Provider is not registered\r\n-TCS Provider is not registered\r\n"
    "-Telescope Interface Unavailable\r\n Check if Vantorel is running\r\n";
const char kUnavailable[] = "Telescope Interface Unavailable\n Check if Vantorel is running\n";

class Dispatch : public PlugInTest {
protected:
    // Sends every code that `which` selects, with every upper-bit pattern and a
    // fresh canary record of its kind: each must answer 0 and leave every byte.
    void SendExpectingNoChange(bool (*which)(unsigned), const char *state)
    {
        void *menu = CreateHostMenu();
        for (unsigned code = 0; code < 256; ++code) {
            if (!which(code))
                continue;
            for (unsigned bits : kUpperBits) {
                CanaryRecord r = RecordFor(code, code + bits);
                if (code == op_BuildContextualPopup)
                    r.Put(kBuildMenuHandle, menu);
                if (code == op_TelescopeSlew || code == op_TelescopeSync) {
                    r.Put(kTargetRA, 1.5);
                    r.Put(kTargetDec, 0.3);
                }
                EXPECT_EQ(Op(code | bits, r.data()), 0) << state << ", code 0x" << std::hex << (code | bits);
                EXPECT_TRUE(AsExpected(r)) << state << ", code 0x" << std::hex << (code | bits);
            }
        }
        EXPECT_TRUE(ReadHostMenu(menu).empty()) << state;
        DestroyHostMenu(menu);
    }

    uint8_t MenuEnabled(unsigned code, int32_t command)
    {
        CanaryRecord r = MenuStatusRecord(command);
        EXPECT_EQ(Op(code, r.data()), 0);
        return r.Get<uint8_t>(kMenuIsEnabled);
    }
};

TEST_F(Dispatch, UnservedCodesTouchNothingInAnyState)
{
    SendExpectingNoChange(IsUnserved, "before initialisation");
    Initialize();
    SendExpectingNoChange(IsUnserved, "connection closed");
    Open();
    SendExpectingNoChange(IsUnserved, "connection open");
    EXPECT_EQ(NoteTexts(), (std::vector<std::string>{"DRAV Initialization failed.", kUnavailable}));
    EXPECT_EQ(LogAfterUnload(), std::string(kNoLibraryInitLog) + kOpenWithoutLibraryLog);
}

TEST_F(Dispatch, GuardedCodesWaitForAnOpenConnection)
{
    SendExpectingNoChange(IsGuarded, "before initialisation");
    Initialize();
    SendExpectingNoChange(IsGuarded, "connection closed");
    Open();
    Close();
    SendExpectingNoChange(IsGuarded, "connection closed again");
    EXPECT_EQ(NoteTexts(), (std::vector<std::string>{"DRAV Initialization failed.", kUnavailable}));
    EXPECT_EQ(LogAfterUnload(), std::string(kNoLibraryInitLog) + kOpenWithoutLibraryLog +
                                    "VoidCelestialAlign->TCS Provider is not registered\r\n");
}

TEST_F(Dispatch, OnlyTheLowByteOfTheCodeCounts)
{
    Initialize();
    for (unsigned bits : kUpperBits) {
        EXPECT_EQ(MenuEnabled(op_MenuStatus | bits, 8204), 0) << std::hex << bits;
        EXPECT_EQ(Op(op_TelescopeOpen | bits), 0);
        EXPECT_EQ(MenuEnabled(op_MenuStatus | bits, 8204), 1) << std::hex << bits;
        EXPECT_EQ(Op(op_TelescopeClose | bits), 0);
        EXPECT_EQ(MenuEnabled(op_MenuStatus | bits, 8204), 0) << std::hex << bits;
        size_t notes = CapturedNotes().size();
        EXPECT_EQ(Op(op_TelescopeConfigure | bits), 0);
        EXPECT_EQ(CapturedNotes().size(), notes + 1) << std::hex << bits;
    }
}

TEST_F(Dispatch, NullRecordsAreIgnored)
{
    const unsigned withRecord[] = {op_Initialize, op_Idle, op_BuildContextualPopup, op_DoContextualPopup,
                                   op_DrawIndicator, op_MenuStatus, op_TelescopeTime, op_TelescopeLocation,
                                   op_TelescopeSlew, op_TelescopeSync};
    EXPECT_EQ(Op(op_Initialize, nullptr), 0);
    EXPECT_FALSE(LogExists()) << "a null initialisation record opened the log";
    EXPECT_TRUE(CapturedNotes().empty());
    Initialize();
    for (unsigned code : withRecord)
        EXPECT_EQ(Op(code, nullptr), 0) << "connection closed, code " << code;
    Open();
    Track();
    for (unsigned code : withRecord)
        EXPECT_EQ(Op(code, nullptr), 0) << "connection open, code " << code;
    EXPECT_EQ(LogAfterUnload(), std::string(kNoLibraryInitLog) + kOpenWithoutLibraryLog);
}

#ifdef _WIN32
// The plug-in's entry point (the runtime's, which hands every reason on to
// DllMain) answers 1 for thread attach and detach; LoadLibraryA succeeding was
// its answer to process attach, and the log written at FreeLibrary shows the
// detach ran.
DWORD WINAPI DoNothing(LPVOID) { return 0; }

TEST_F(Dispatch, LoadHookAnswersOneForEveryReason)
{
    BYTE *base = (BYTE *)plugin_.module;
    IMAGE_NT_HEADERS *nt = (IMAGE_NT_HEADERS *)(base + ((IMAGE_DOS_HEADER *)base)->e_lfanew);
    typedef BOOL(WINAPI * EntryPoint)(HINSTANCE, DWORD, LPVOID);
    EntryPoint entry = (EntryPoint)(void *)(base + nt->OptionalHeader.AddressOfEntryPoint);
    Initialize();
    EXPECT_EQ(entry((HINSTANCE)base, DLL_THREAD_ATTACH, NULL), TRUE);
    EXPECT_EQ(entry((HINSTANCE)base, DLL_THREAD_DETACH, NULL), TRUE);
    HANDLE thread = CreateThread(NULL, 0, DoNothing, NULL, 0, NULL);
    ASSERT_NE(thread, (HANDLE)NULL);
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    EXPECT_EQ(LogAfterUnload(), kNoLibraryInitLog);
}
#endif

} // namespace
