// plughost: a stand-in for the planetarium host. It loads telescope.plug by
// path, drives DoOperation from a script or the terminal with records it
// owns (canary-filled, checked after every call), and prints a transcript:
// each call, what the plug-in answered, the notes it showed, and at the end
// the log file.
//
//   plughost PLUGIN [SCRIPT]     (no SCRIPT or "-": commands from standard input)
#include "CanaryRecord.h"
#include "HostLayout.h"
#include "HostModel.h"
#include "HostScript.h"
#include "PluginLoader.h"

#include <stdio.h>
#include <string.h>
#include <chrono>
#include <string>
#include <thread>

#ifdef _WIN32
#include <windows.h>
#include <io.h>
#define isatty _isatty
#define fileno _fileno
#else
#include <unistd.h>
#endif

using namespace HostLayout;

namespace {

struct Session {
    LoadedPlugin plugin;
    unsigned seed = 1;
    unsigned calls = 0;
    unsigned faults = 0;
    bool interactive = false;
    // The connection and tracking as the host's model has them, from the
    // commands sent so far: what a served call may write, and what the menu
    // status must answer.
    bool open = false;
    bool tracking = false;
};

double Now()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

std::string Escaped(const std::string &text)
{
    std::string out;
    for (char c : text) {
        if (c == '\n') out += "\\n";
        else if (c == '\r') out += "\\r";
        else if (c == '"') out += "\\\"";
        else out += c;
    }
    return out;
}

std::string Angles(double ra, double dec)
{
    char text[64];
    snprintf(text, sizeof text, " (%.17g, %.17g)", ra, dec);
    return FormatRightAscension(ra) + " " + FormatDeclination(dec) + text;
}

void Fault(Session *s, const std::string &what)
{
    ++s->faults;
    printf("    FAULT: %s\n", what.c_str());
}

// One DoOperation call with a canary record: its answer, notes and checks.
void Call(Session *s, OperationT op, const char *opName, CanaryRecord *record)
{
    record->Seal();
    ClearCapturedNotes();
    double start = Now();
    short answer = s->plugin.DoOperation(op, record->data());
    double took = Now() - start;
    ++s->calls;
    printf("    DoOperation(%s, %s) -> %d", opName, record->layout().name, answer);
    if (took >= 0.05)
        printf("  [returned after %.2f s]", took);
    printf("\n");
    if (answer != 0)
        Fault(s, "DoOperation answered " + std::to_string(answer) + ", not 0");
    for (const CapturedNote &note : CapturedNotes())
        printf("    note \"%s\": \"%s\"\n", note.caption.c_str(), Escaped(note.text).c_str());
    const unsigned code = (unsigned)op & 0xFFu;
    for (const std::string &f : record->Check(HostModel::Runs(code, s->open)))
        Fault(s, f);
    if (code == op_TelescopeOpen)
        s->open = true;
    else if (code == op_TelescopeClose)
        s->open = false;
    else if (code == op_TelescopeTrack && s->open)
        s->tracking = !s->tracking;
}

void ShowFields(const CanaryRecord &r, std::initializer_list<const char *> names)
{
    std::string line = "   ";
    for (const char *name : names) {
        std::string item = " " + r.Show(name);
        if (line.size() + item.size() > 100) {
            printf("%s\n", line.c_str());
            line = "   ";
        }
        line += item;
    }
    printf("%s\n", line.c_str());
}

// --- The commands ---

void Initialize(Session *s, long api)
{
    CanaryRecord r(InitializeLayout(), s->seed++);
    r.Put<int32_t>(kInitPluginAPI, (int32_t)api);
    Call(s, op_Initialize, "op_Initialize", &r);
    ShowFields(r, {"fPluginAPI", "fSuccess", "fWantsMenuItem", "fWantsIdleTime", "fWantsWindow", "fLayer",
                   "fIsTelescopeController", "fWindowMenuItem", "fAboutMenuItem", "fOptionsMenuItem"});
}

void MenuStatus(Session *s, long command)
{
    static const char *const texts[] = {"Configure Telescope", "Set Telescope Time", "Set Telescope Location",
                                        "Open Telescope", "Close Telescope", "Track Telescope",
                                        "Slew Telescope", "Sync Telescope"};
    for (long c = command < 0 ? 8200 : command; c <= (command < 0 ? 8207 : command); ++c) {
        CanaryRecord r(MenuStatusLayout(), s->seed++);
        r.Put<int32_t>(kMenuCommand, (int32_t)c);
        r.PutPString(kMenuText, c >= 8200 && c <= 8207 ? texts[c - 8200] : "Host Command");
        Call(s, op_MenuStatus, "op_MenuStatus", &r);
        printf("      %ld \"%s\": %s %s\n", c, c >= 8200 && c <= 8207 ? texts[c - 8200] : "Host Command",
               r.Show("fIsEnabled").c_str(), r.Show("fHasCheck").c_str());
        const int enabled = HostModel::MenuEnabled((int32_t)c, s->open, s->tracking);
        const unsigned checked = HostModel::MenuChecked((int32_t)c, s->tracking);
        const unsigned gotEnabled = r.Get<uint8_t>(kMenuIsEnabled), gotChecked = r.Get<uint8_t>(kMenuHasCheck);
        if ((enabled >= 0 && gotEnabled != (unsigned)enabled) || gotChecked != checked)
            Fault(s, "menu status " + std::to_string(c) + " answered enabled " + std::to_string(gotEnabled) +
                         " check " + std::to_string(gotChecked) + ", the connection " +
                         (s->open ? "open" : "closed") + (s->tracking ? " and tracking" : "") + " wants " +
                         (enabled >= 0 ? std::to_string(enabled) : std::string("the host's")) + " " +
                         std::to_string(checked));
    }
}

void Plain(Session *s, OperationT op, const char *opName)
{
    CanaryRecord r(NoRecordLayout(), s->seed++);
    Call(s, op, opName, &r);
}

// What one idle call asked for, checked against the two answers it may give.
std::string IdleAction(Session *s, const CanaryRecord &event)
{
    const FieldLayout *op = event.Field("fOutOperation"), *params = event.Field("fOutParams");
    if (!event.Changed(*op)) {
        if (event.Changed(*params))
            Fault(s, "fOutParams changed without an action");
        return "";
    }
    void *p = event.Get<void *>(params->offset);
    switch (event.Get<unsigned char>(op->offset)) {
    case out_CentrePoint: {
        if (p == nullptr) {
            Fault(s, "out_CentrePoint with a null fOutParams");
            return "centre (no point)";
        }
        PCentreAction a;
        memcpy(&a, p, sizeof a);
        char flags[96];
        snprintf(flags, sizeof flags, "; fUseCustomPan=%u fPan=%u fAdjustFOV=%u fNewFOV=%g", a.fUseCustomPan, a.fPan,
                 a.fAdjustFOV, a.fNewFOV);
        return "centre on " + Angles(a.fRightAscension, a.fDeclination) + flags;
    }
    case out_Update:
        if (p != nullptr)
            Fault(s, "out_Update with a non-null fOutParams");
        return "update";
    default:
        Fault(s, "fOutOperation = " + std::to_string(event.Get<unsigned char>(op->offset)) + ", not an action");
        return "?";
    }
}

void Idle(Session *s, long count, double seconds)
{
    const auto start = std::chrono::steady_clock::now();
    const std::chrono::duration<double> interval(count > 1 ? seconds / (count - 1) : 0);
    for (long k = 0; k < count; ++k) {
        std::this_thread::sleep_until(start + std::chrono::duration_cast<std::chrono::steady_clock::duration>(k * interval));
        CanaryRecord eventRecord(EventRecordLayout(), s->seed++);
        CanaryRecord event(EventLayout(), s->seed++);
        event.Put<void *>(kEventRecordPointer, eventRecord.data());
        eventRecord.Seal();
        printf("  idle %ld/%ld at %.1f s\n", k + 1, count,
               std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        Call(s, op_Idle, "op_Idle", &event);
        for (const std::string &f : eventRecord.Check())
            Fault(s, f);
        std::string action = IdleAction(s, event);
        printf("    action: %s\n", action.empty() ? "none (fOutOperation and fOutParams as passed)" : action.c_str());
        fflush(stdout);
    }
}

void Indicator(Session *s)
{
    CanaryRecord r(IndicatorLayout(), s->seed++);
    Call(s, op_DrawIndicator, "op_DrawIndicator", &r);
    ShowFields(r, {"fDrawIndicator", "fIndicatorStyle", "fDoneDrawing", "fVertical", "fHorizontal", "fRollAngle",
                   "fString", "fRed", "fGreen", "fBlue"});
    const FieldLayout *ra = r.Field("fCentreRA"), *dec = r.Field("fCentreDec");
    if (r.Changed(*ra) || r.Changed(*dec))
        printf("    centre: %s\n", Angles(r.Get<double>(ra->offset), r.Get<double>(dec->offset)).c_str());
    else
        printf("    centre: as passed (no position read)\n");
}

void Target(Session *s, OperationT op, const char *opName, double ra, double dec)
{
    CanaryRecord r(TelescopeTargetLayout(), s->seed++);
    r.Put<double>(kTargetRA, ra);
    r.Put<double>(kTargetDec, dec);
    printf("    target: %s\n", Angles(ra, dec).c_str());
    Call(s, op, opName, &r);
}

void Popup(Session *s, const std::string &name)
{
    void *menu = CreateHostMenu();
    AppendHostMenuEntry(menu, 100, "Centre Object");
    AppendHostMenuEntry(menu, 101, "Object Information");
    const std::vector<HostMenuEntry> before = ReadHostMenu(menu);
    CanaryRecord r(BuildContextLayout(), s->seed++);
    r.Put<void *>(kBuildMenuHandle, menu);
    r.PutPString(kBuildObject + kSelObjectName, name);
    Call(s, op_BuildContextualPopup, "op_BuildContextualPopup", &r);
    std::vector<HostMenuEntry> after = ReadHostMenu(menu);
    for (size_t i = 0; i < before.size(); ++i)
        if (i >= after.size() || after[i].text != before[i].text || after[i].identifier != before[i].identifier)
            Fault(s, "the host's own menu entry " + std::to_string(i) + " changed");
    printf("    menu entries appended: %zu\n", after.size() > before.size() ? after.size() - before.size() : 0);
    for (size_t i = before.size(); i < after.size(); ++i) {
        const HostMenuEntry &e = after[i];
        if (e.separator)
            printf("      ---- (separator)\n");
        else
            printf("      %u \"%s\"%s%s\n", e.identifier, e.text.c_str(), e.enabled ? "" : " disabled",
                   e.checked ? " checked" : "");
    }
    DestroyHostMenu(menu);
}

void Choose(Session *s, long command, double ra, double dec, const std::string &name)
{
    CanaryRecord r(DoContextLayout(), s->seed++);
    r.Put<int32_t>(kDoContextMenuCommand, (int32_t)command);
    r.Put<double>(kDoContextRA, ra);
    r.Put<double>(kDoContextDec, dec);
    r.PutPString(kDoContextObject + kSelObjectName, name);
    printf("    object: %s%s\n", name.empty() ? "" : (name + " at ").c_str(), Angles(ra, dec).c_str());
    Call(s, op_DoContextualPopup, "op_DoContextualPopup", &r);
    ShowFields(r, {"fMenuHandled"});
}

void Run(Session *s, const Command &c)
{
    if (c.kind == CommandKind::Echo) {
        printf("\n# %s\n", c.name.c_str());
        return;
    }
    printf("%s%d: %s\n", s->interactive ? "" : "\n", c.line, c.text.c_str());
    switch (c.kind) {
    case CommandKind::Init: Initialize(s, c.number); break;
    case CommandKind::Menu: MenuStatus(s, c.number); break;
    case CommandKind::Configure: Plain(s, op_TelescopeConfigure, "op_TelescopeConfigure"); break;
    case CommandKind::Open: Plain(s, op_TelescopeOpen, "op_TelescopeOpen"); break;
    case CommandKind::Close: Plain(s, op_TelescopeClose, "op_TelescopeClose"); break;
    case CommandKind::Track: Plain(s, op_TelescopeTrack, "op_TelescopeTrack"); break;
    case CommandKind::Terminate: Plain(s, op_Terminate, "op_Terminate"); break;
    case CommandKind::Idle: Idle(s, c.number, c.seconds); break;
    case CommandKind::Indicator: Indicator(s); break;
    case CommandKind::Slew: Target(s, op_TelescopeSlew, "op_TelescopeSlew", c.ra, c.dec); break;
    case CommandKind::Sync: Target(s, op_TelescopeSync, "op_TelescopeSync", c.ra, c.dec); break;
    case CommandKind::Popup: Popup(s, c.name); break;
    case CommandKind::Choose: Choose(s, c.number, c.ra, c.dec, c.name); break;
    case CommandKind::Echo: break;
    }
    fflush(stdout);
}

// The file as the platform's loader must be given it. Under Wine a Unix
// path reaches the Windows side through drive Z:.
std::string PluginPath(std::string path)
{
#ifdef _WIN32
    if (!path.empty() && path[0] == '/')
        path = "Z:" + path;
    for (char &ch : path)
        if (ch == '/')
            ch = '\\';
    char full[MAX_PATH];
    DWORD n = GetFullPathNameA(path.c_str(), sizeof full, full, nullptr);
    if (n > 0 && n < sizeof full)
        path = full;
#else
    // dlopen searches the library path for a bare file name.
    if (path.find('/') == std::string::npos)
        path = "./" + path;
#endif
    return path;
}

void PrintLog()
{
    std::string log;
    printf("\n---- telelog.txt ----\n");
    if (!ReadWholeFile("telelog.txt", &log)) {
        printf("(none in the current folder)\n");
        return;
    }
    std::string shown;
    for (char c : log)
        if (c != '\r')
            shown += c;
    fwrite(shown.data(), 1, shown.size(), stdout);
    if (!shown.empty() && shown.back() != '\n')
        printf("\n");
    printf("---- end of telelog.txt (%zu bytes) ----\n", log.size());
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 2 || argc > 3 || strcmp(argv[1], "--help") == 0) {
        fprintf(stderr, "usage: plughost PLUGIN [SCRIPT]\n"
                        "  runs the session in SCRIPT (or typed on standard input) against the plug-in file\n");
        return 2;
    }
#ifdef _WIN32
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
#endif
    Session s;
    std::vector<Command> script;
    std::string error, text;
    s.interactive = argc == 2 || strcmp(argv[2], "-") == 0;
    if (!s.interactive) {
        if (!ReadWholeFile(argv[2], &text)) {
            fprintf(stderr, "plughost: cannot read the script %s\n", argv[2]);
            return 2;
        }
        if (!ParseScript(text, &script, &error)) {
            fprintf(stderr, "plughost: %s: %s\n", argv[2], error.c_str());
            return 2;
        }
    }
    std::string path = PluginPath(argv[1]);
    FILE *probe = fopen(path.c_str(), "rb");
    if (probe == nullptr) {
        fprintf(stderr, "plughost: no plug-in file %s\n", argv[1]);
        return 2;
    }
    fclose(probe);
    if (!LoadPlugin(path.c_str(), &s.plugin, &error)) {
        fprintf(stderr, "plughost: %s (is it telescope.plug for this build?)\n", error.c_str());
        return 2;
    }
    printf("plughost: loaded %s\n", argv[1]);
    fflush(stdout);

    if (!s.interactive) {
        for (const Command &c : script)
            Run(&s, c);
    } else {
        bool prompt = isatty(fileno(stdin)) != 0;
        char line[1024];
        for (int number = 1;; ++number) {
            if (prompt) {
                printf("plughost> ");
                fflush(stdout);
            }
            if (!fgets(line, sizeof line, stdin))
                break;
            Command c;
            bool isCommand;
            std::string l = line;
            while (!l.empty() && (l.back() == '\n' || l.back() == '\r'))
                l.pop_back();
            if (l == "quit" || l == "exit")
                break;
            if (!ParseCommand(l, &c, &isCommand, &error)) {
                printf("line %d: %s\n", number, error.c_str());
                continue;
            }
            c.line = number;
            if (isCommand)
                Run(&s, c);
        }
    }

    // Unloading writes the plug-in's log out.
    UnloadPlugin(&s.plugin);
    printf("\nplughost: %u calls, %s\n", s.calls,
           s.faults ? (std::to_string(s.faults) + " FAULTS").c_str() : "every host byte intact");
    PrintLog();
    return s.faults ? 1 : 0;
}
