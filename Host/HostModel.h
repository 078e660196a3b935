// What a host may expect of telescope.plug, written down once for every
// program that drives it and checks its answers (the end-to-end suite, the
// fuzzer, plughost, plugview): which operations it serves, which of them wait
// for an open connection, which it refuses while another of its calls is
// under way, and what the menu status answers for the telescope commands.
#ifndef HOST_MODEL_H
#define HOST_MODEL_H

#include "HostRecords.h"

#include <stddef.h>
#include <stdint.h>

namespace HostModel {

// The fifteen operations that reach a handler, in code order.
constexpr unsigned char kServed[] = {op_Initialize, op_Terminate, op_Idle, op_BuildContextualPopup,
                                     op_DoContextualPopup, op_DrawIndicator, op_MenuStatus,
                                     op_TelescopeConfigure, op_TelescopeTime, op_TelescopeLocation,
                                     op_TelescopeOpen, op_TelescopeClose, op_TelescopeTrack,
                                     op_TelescopeSlew, op_TelescopeSync};
constexpr size_t kServedCount = sizeof kServed / sizeof kServed[0];

// `code` is the operation alone (the low byte of what the host passes).
inline bool Served(unsigned code)
{
    for (unsigned char op : kServed)
        if (op == code)
            return true;
    return false;
}

// Served only while the connection is open; ignored otherwise.
inline bool Guarded(unsigned code)
{
    return Served(code) && code != op_Initialize && code != op_Terminate && code != op_MenuStatus &&
           code != op_TelescopeConfigure && code != op_TelescopeOpen && code != op_TelescopeClose;
}

// Whether a call of `code` reaches its handler with the connection open or not.
inline bool Runs(unsigned code, bool open) { return Served(code) && (!Guarded(code) || open); }

// Refused when it arrives while another call of the plug-in is under way:
// nothing happens, nothing is logged.
inline bool RefusedWhenNested(unsigned code)
{
    return code == op_TelescopeConfigure || code == op_TelescopeOpen || code == op_TelescopeClose ||
           code == op_TelescopeSlew || code == op_TelescopeSync || code == op_DoContextualPopup;
}

// fIsEnabled as the menu status writes it: 1 or 0 for the eight telescope
// commands, -1 for any other command (left as the host passed it).
inline int MenuEnabled(int32_t command, bool open, bool tracking)
{
    switch (command) {
    case 8200: case 8203: case 8207: return 1;
    case 8201: case 8202: return 0;
    case 8204: case 8205: return open ? 1 : 0;
    case 8206: return open && !tracking ? 1 : 0;
    default: return -1;
    }
}

// fHasCheck, written for every command: only tracking shows a check mark.
inline uint8_t MenuChecked(int32_t command, bool tracking) { return command == 8205 && tracking ? 1 : 0; }

} // namespace HostModel

#endif
