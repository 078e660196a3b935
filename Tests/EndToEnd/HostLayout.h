// Byte offsets of the host's records as the host lays them out. Written out
// here instead of taken from the plug-in's header, so that a field the
// plug-in places wrongly shows up as a wrong byte in a test. The two records
// that hold pointers are wider on the 64-bit native build; there the
// plug-in's own layout stands in.
#ifndef HOST_LAYOUT_H
#define HOST_LAYOUT_H

#include "HostRecords.h"

#include <stddef.h>
#include <stdint.h>

namespace HostLayout {

enum : size_t {
    kInitializeSize = 804, kInitPluginAPI = 0, kInitSuccess = 4, kInitWantsMenuItem = 5,
    kInitWantsIdleTime = 6, kInitWantsWindow = 7, kInitLayer = 28, kInitIsTelescopeController = 32,
    kInitWindowMenuItem = 33, kInitAboutMenuItem = 289, kInitOptionsMenuItem = 545,

    kMenuStatusSize = 264, kMenuCommand = 0, kMenuIsEnabled = 4, kMenuHasCheck = 5,

    kTimeSize = 16, kLocationSize = 288, kEventRecordSize = 20,

    kCentreRA = 0, kCentreDec = 8, kCentreUseCustomPan = 16, kCentrePan = 17, kCentreAdjustFOV = 18,
    kCentreNewFOV = 24, kCentreActionSize = 32,

    kIndicatorSize = 328, kIndDrawIndicator = 0, kIndStyle = 1, kIndDoneDrawing = 2, kIndCentreRA = 8,
    kIndCentreDec = 16, kIndVertical = 24, kIndHorizontal = 32, kIndRollAngle = 40, kIndString = 62,

    kDoContextSize = 1120, kDoContextRA = 544, kDoContextDec = 552, kDoContextMenuCommand = 1116,

    kTargetSize = 40, kTargetRA = 24, kTargetDec = 32,
};

#if UINTPTR_MAX == 0xFFFFFFFFu
enum : size_t {
    kEventSize = 16, kEventRecordPointer = 0, kEventOutOperation = 4, kEventOutParams = 8,
    kBuildContextSize = 1120, kBuildMenuHandle = 1108,
};
#else
enum : size_t {
    kEventSize = sizeof(PEvent), kEventRecordPointer = offsetof(PEvent, fEventRecord),
    kEventOutOperation = offsetof(PEvent, fOutOperation), kEventOutParams = offsetof(PEvent, fOutParams),
    kBuildContextSize = sizeof(PBuildContext), kBuildMenuHandle = offsetof(PBuildContext, fMenuHandle),
};
#endif

} // namespace HostLayout

#endif
