// Byte offsets of the host's records as the host lays them out. Written out
// here instead of taken from the plug-in's header, so that a field the
// plug-in places wrongly shows up as a wrong byte in a test. Every program
// that hands the plug-in a record (the end-to-end suite, the fuzzer,
// plughost, plugview) takes its offsets from here. The two records that hold
// pointers are wider on the 64-bit native build; there the plug-in's own
// layout stands in.
#ifndef HOST_LAYOUT_H
#define HOST_LAYOUT_H

#include "HostRecords.h"

#include <stddef.h>
#include <stdint.h>

namespace HostLayout {

enum : size_t {
    kPStringSize = 256, // a length byte and up to 255 characters

    kInitializeSize = 804, kInitPluginAPI = 0, kInitSuccess = 4, kInitWantsMenuItem = 5,
    kInitWantsIdleTime = 6, kInitWantsWindow = 7, kInitWindowVisible = 8, kInitWindowID = 12,
    kInitWindowFloats = 16, kInitWindowBounds = 18, kInitWindowBoundsSize = 8, kInitLayer = 28,
    kInitIsTelescopeController = 32, kInitWindowMenuItem = 33, kInitAboutMenuItem = 289,
    kInitOptionsMenuItem = 545,

    kMenuStatusSize = 264, kMenuCommand = 0, kMenuIsEnabled = 4, kMenuHasCheck = 5, kMenuText = 6,

    kTimeSize = 16, kTimeJulianDate = 0, kTimePrivate = 8,

    kLocationSize = 288, kLocPlaceName = 0, kLocLatitude = 256, kLocLongitude = 264, kLocElevation = 272,
    kLocTimeZoneSeconds = 280, kLocPrivate = 284,

    kEventRecordSize = 20, kEvWhat = 0, kEvMessage = 4, kEvWhen = 8, kEvWhere = 12, kEvWhereSize = 4,
    kEvModifiers = 16,

    kCentreRA = 0, kCentreDec = 8, kCentreUseCustomPan = 16, kCentrePan = 17, kCentreAdjustFOV = 18,
    kCentreNewFOV = 24, kCentreActionSize = 32,

    kIndicatorSize = 328, kIndDrawIndicator = 0, kIndStyle = 1, kIndDoneDrawing = 2, kIndCentreRA = 8,
    kIndCentreDec = 16, kIndVertical = 24, kIndHorizontal = 32, kIndRollAngle = 40, kIndPixelsPerRadian = 48,
    kIndRed = 56, kIndGreen = 58, kIndBlue = 60, kIndString = 62, kIndWindowThatIsDrawing = 320,

    // The selected object, at the start of a PBuildContext and 8 bytes into a PDoContext.
    kSelectionSize = 1104, kSelObjectName = 0, kSelObjectIconID = 256, kSelConstellationName = 258,
    kSelAz = 520, kSelAlt = 528, kSelRightAscension = 536, kSelDeclination = 544, kSelObjectType = 552,
    kSelMagnitude = 808, kSelAngularSize = 816, kSelUserFormattedName = 824, kSelObjectKey = 1080,
    kSelObjectLayerID = 1084, kSelPrivate1 = 1088, kSelPrivate2 = 1092, kSelObjectIsSelectable = 1096,
    kSelIsNewPosition = 1097,

    kDoContextSize = 1120, kDoContextMenuHandled = 0, kDoContextObject = 8,
    kDoContextRA = kDoContextObject + kSelRightAscension, kDoContextDec = kDoContextObject + kSelDeclination,
    kDoContextBeingDeselected = 1112, kDoContextMenuItem = 1114, kDoContextMenuCommand = 1116,

    kBuildObject = 0, kBuildBeingDeselected = 1104,

    // What the plug-in reads; the host's record may be longer (plughost hands over 64 bytes).
    kTargetSize = 40, kTargetRA = 24, kTargetDec = 32,
};

#if UINTPTR_MAX == 0xFFFFFFFFu
enum : size_t {
    kEventSize = 16, kEventRecordPointer = 0, kEventOutOperation = 4, kEventOutParams = 8, kEventInWindow = 12,
    kBuildContextSize = 1120, kBuildMenuHandle = 1108, kBuildPrivate = 1112,
};
#else
enum : size_t {
    kEventSize = sizeof(PEvent), kEventRecordPointer = offsetof(PEvent, fEventRecord),
    kEventOutOperation = offsetof(PEvent, fOutOperation), kEventOutParams = offsetof(PEvent, fOutParams),
    kEventInWindow = offsetof(PEvent, fInWindow),
    kBuildContextSize = sizeof(PBuildContext), kBuildMenuHandle = offsetof(PBuildContext, fMenuHandle),
    kBuildPrivate = offsetof(PBuildContext, fPrivate),
};
#endif

} // namespace HostLayout

#endif
