// POSIX body of the plug-in loader: dlopen, and the PlugHost_* functions that
// the plug-in's platform layer looks up in this executable.
#include "PluginLoader.h"
#include "PluginLoaderState.h"
#include "Platform/PosixMenu.h"
#include "SteadyClock.h"

#include <dlfcn.h>
#include <stdlib.h>
#include <string.h>

extern "C" __attribute__((visibility("default"))) void PlugHost_ShowNote(const char *caption, const char *text)
{
    RecordNote(caption, text, 0x1000, kFocusWindow);
}

extern "C" __attribute__((visibility("default"))) uint64_t PlugHost_Milliseconds(void)
{
    if (gLoaderClock.virtualOn)
        return gLoaderClock.now;
    return SteadyMilliseconds();
}

extern "C" __attribute__((visibility("default"))) void PlugHost_Sleep(unsigned ms)
{
    if (TakeSleep(ms))
        return;
    SleepMilliseconds(ms);
}

extern "C" __attribute__((visibility("default"))) int PlugHost_UserAskedToStop(void)
{
    return (TakeEscapeState() & 0x8001u) != 0 && HostInFront() ? 1 : 0;
}

bool LoadPlugin(const char *path, LoadedPlugin *out, std::string *error)
{
    void *module = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (module == nullptr) {
        const char *reason = dlerror();
        *error = std::string("cannot load ") + path + (reason ? std::string(": ") + reason : "");
        return false;
    }
    void *entry = dlsym(module, "DoOperation");
    if (entry == nullptr) {
        dlclose(module);
        *error = std::string(path) + " does not export DoOperation";
        return false;
    }
    out->module = module;
    out->DoOperation = (DoOperationFn)entry;
    return true;
}

void UnloadPlugin(LoadedPlugin *plugin)
{
    if (plugin->module)
        dlclose(plugin->module);
    plugin->module = nullptr;
    plugin->DoOperation = nullptr;
}

void *CreateHostMenu()
{
    PosixMenu *menu = new PosixMenu;
    memset(menu, 0, sizeof *menu);
    return menu;
}

void DestroyHostMenu(void *menu) { delete (PosixMenu *)menu; }

void AppendHostMenuEntry(void *menu, unsigned identifier, const char *text)
{
    PosixMenu *m = (PosixMenu *)menu;
    if (m->count >= kPosixMenuCapacity)
        return;
    PosixMenuItem *item = &m->items[m->count++];
    item->flags = 0;
    item->identifier = identifier;
    snprintf(item->text, sizeof item->text, "%s", text);
}

std::vector<HostMenuEntry> ReadHostMenu(void *menu)
{
    std::vector<HostMenuEntry> entries;
    const PosixMenu *m = (const PosixMenu *)menu;
    for (int i = 0; i < m->count; ++i) {
        HostMenuEntry entry;
        entry.separator = (m->items[i].flags & 0x800u) != 0;
        entry.enabled = !entry.separator && (m->items[i].flags & 0x3u) == 0; // MF_GRAYED | MF_DISABLED
        entry.checked = (m->items[i].flags & 0x8u) != 0;                     // MF_CHECKED
        entry.identifier = m->items[i].identifier;
        entry.text = m->items[i].text;
        entries.push_back(entry);
    }
    return entries;
}

void SetHostEnvironment(const char *name, const char *value)
{
    if (value)
        setenv(name, value, 1);
    else
        unsetenv(name);
}
