// What every benchmark needs around the real plug-in: a scratch folder that
// holds the log and a drive C with the mount simulator at the control
// library's fixed path, and a plug-in session against a given scenario.
#ifndef BENCH_SESSION_H
#define BENCH_SESSION_H

#include "HostRecords.h"
#include "PluginLoader.h"

#include <stdint.h>
#include <string>

// Creates the scratch folder, makes it the current directory (the plug-in
// writes telelog.txt there) and removes it at exit. Call once, first.
void SetUpScratch();
const std::string &ScratchFolder();

// The simulator itself, for the floors that call it directly.
const char *SimulatorPath();

// Loads telescope.plug with the simulator under DRAV_SIM_SCENARIO `scenario`,
// initialises it and, when asked, opens the connection and turns tracking on.
// Stop() releases the library and unloads the plug-in, which writes the log out.
struct Session {
    LoadedPlugin plugin;

    bool Start(const char *scenario, bool open, bool track, std::string *error);
    short Do(unsigned operation, void *record) { return plugin.DoOperation(operation, record); }
    void Stop();
    ~Session() { Stop(); }
};

// The log the last session wrote, once it is stopped.
std::string ReadLog();

// Process CPU time and monotonic wall time, in seconds.
double CpuSeconds();
double WallSeconds();

// The host's clock as the plug-in reads it on this build (the loader's hook).
extern "C" uint64_t PlugHost_Milliseconds(void);

#endif
