// The host's operation codes, idle answers and exchange records.
//
// These layouts are a byte-level contract with a separate program: every
// offset, width and padding byte matters. Doubles carry alignas(8) so the
// layout does not depend on whether the ABI aligns them to 4 or 8.
//
// Where the layouts are asserted: records without pointers are asserted on
// every build; PEvent and PBuildContext hold 4-byte pointers on the 32-bit
// product and can only be asserted there (the 64-bit native tool build widens
// those pointers and so those two records).
#ifndef HOST_RECORDS_H
#define HOST_RECORDS_H

#include <stddef.h>
#include <stdint.h>

enum OperationT : unsigned char {
    op_Initialize = 0,
    op_Terminate,
    op_SetupWindow,
    op_UpdateWindow,
    op_MenuCommand,
    op_NewScene,
    op_Centre,
    op_About,
    op_Idle,
    op_ClickInWindow,
    op_DrawLayer,
    op_Selection,
    op_CursorPosition,
    op_LocationChanged,
    op_BuildContextualPopup,
    op_DoContextualPopup,
    op_DragDropAcceptable,
    op_ReceiveDrag,
    op_GetDrawTimeFuncPtr,
    op_FindObjectInDataBase,
    op_ReintializeFind,
    op_DrawIndicator,
    op_MenuStatus,
    op_TelescopeConfigure,
    op_TelescopeTime,
    op_TelescopeLocation,
    op_TelescopeOpen,
    op_TelescopeClose,
    op_TelescopeTrack,
    op_TelescopeSlew,
    op_TelescopeSync,
    op_PreDraw,
    op_PostDraw,
    op_SelectionDoubleClick,
    op_TimeChanged,
    op_FactoryDefaults,
    op_CallBackAddress,
    op_HomeLocation,
    op_SetupWin32Window,
    op_SceneClick,
    op_FOVIndicatorPosition
};

enum ActionT : unsigned char {
    out_DoNothing = 0,
    out_SetEarthLocation,
    out_ChangeGaze,
    out_CentrePoint,
    out_Search,
    out_Update
};

typedef unsigned char Boolean;     // 0 or 1
typedef unsigned char PString[256]; // length byte, then up to 255 characters

struct pRect {
    int16_t top;
    int16_t left;
    int16_t bottom;
    int16_t right;
};

struct pPoint {
    int16_t v;
    int16_t h;
};

struct pEventRecord {
    int16_t what;
    uint32_t message;
    uint32_t when;
    pPoint where;
    int16_t modifiers;
};

struct PInitialize {
    int32_t fPluginAPI;
    Boolean fSuccess;
    Boolean fWantsMenuItem;
    Boolean fWantsIdleTime;
    Boolean fWantsWindow;
    Boolean fWindowVisible;
    int32_t fWindowID;
    Boolean fWindowFloats;
    pRect fWindowBounds;
    int32_t fLayer;
    Boolean fIsTelescopeController;
    PString fWindowMenuItem;
    PString fAboutMenuItem;
    PString fOptionsMenuItem;
};

struct PMenuStatus {
    int32_t fMenuCommand;
    Boolean fIsEnabled;
    Boolean fHasCheck;
    PString fMenuText;
};

struct PTime {
    alignas(8) double fJulianDate;
    uint32_t fPrivate;
};

struct PLocation {
    PString fPlaceName;
    alignas(8) double fEarthLatitude;
    alignas(8) double fEarthLongitude;
    alignas(8) double fElevation;
    int32_t fTimeZoneSeconds;
    uint32_t fPrivate;
};

struct PEvent {
    pEventRecord *fEventRecord;
    ActionT fOutOperation;
    void *fOutParams;
    uint32_t fInWindow;
};

struct PCentreAction {
    alignas(8) double fRightAscension;
    alignas(8) double fDeclination;
    Boolean fUseCustomPan;
    Boolean fPan;
    Boolean fAdjustFOV;
    alignas(8) double fNewFOV;
};

struct PIndicator {
    Boolean fDrawIndicator;
    unsigned char fIndicatorStyle;
    Boolean fDoneDrawing;
    alignas(8) double fCentreRA;
    alignas(8) double fCentreDec;
    alignas(8) double fVertical;
    alignas(8) double fHorizontal;
    alignas(8) double fRollAngle;
    alignas(8) double fPixelsPerRadian;
    uint16_t fRed;
    uint16_t fGreen;
    uint16_t fBlue;
    PString fString;
    uint32_t fWindowThatIsDrawing;
};

struct PSelection {
    PString fObjectName;
    int16_t fObjectIconID;
    PString fConstellationName;
    alignas(8) double fAz;
    alignas(8) double fAlt;
    alignas(8) double fRightAscension;
    alignas(8) double fDeclination;
    PString fObjectType;
    alignas(8) double fMagnitude;
    alignas(8) double fAngularSize;
    PString fUserFormattedName;
    uint32_t fObjectKey;
    int32_t fObjectLayerID;
    uint32_t fPrivate1;
    uint32_t fPrivate2;
    Boolean fObjectIsSelectable;
    Boolean fIsNewPosition;
};

// The menu being built: an HMENU on Windows, the platform layer's menu on POSIX.
typedef void *MenuHandle;

struct PBuildContext {
    PSelection fObject;
    Boolean fObjectBeingDeselected;
    MenuHandle fMenuHandle;
    void *fPrivate;
};

struct PDoContext {
    Boolean fMenuHandled;
    PSelection fObject;
    Boolean fObjectBeingDeselected;
    int16_t fMenuItem;
    int32_t fMenuCommand;
};

// Only the two coordinates are the plug-in's business; the rest is the host's.
struct PTelescopeTarget {
    unsigned char fHostOwned[24];
    alignas(8) double fRightAscension;
    alignas(8) double fDeclination;
};

enum : size_t { kTelescopeTargetRAOffset = 24, kTelescopeTargetDecOffset = 32 };

// The plug-in's one export, C linkage and the C calling convention. The code
// travels in a 32-bit slot whose upper bits the host may leave arbitrary.
typedef short (*DoOperationFn)(unsigned int inOperation, void *ioParams);
extern "C" short DoOperation(unsigned int inOperation, void *ioParams);

// --- Layouts asserted on every build (no pointers inside) ---
#define HR_ASSERT_SIZE(T, n) static_assert(sizeof(T) == (n), #T " size")
#define HR_ASSERT_AT(T, f, n) static_assert(offsetof(T, f) == (n), #T "." #f " offset")

static_assert(sizeof(OperationT) == 1 && sizeof(ActionT) == 1, "codes are one byte");

HR_ASSERT_SIZE(pRect, 8);
HR_ASSERT_AT(pRect, top, 0); HR_ASSERT_AT(pRect, left, 2);
HR_ASSERT_AT(pRect, bottom, 4); HR_ASSERT_AT(pRect, right, 6);

HR_ASSERT_SIZE(pPoint, 4);
HR_ASSERT_AT(pPoint, v, 0); HR_ASSERT_AT(pPoint, h, 2);

HR_ASSERT_SIZE(pEventRecord, 20);
HR_ASSERT_AT(pEventRecord, what, 0); HR_ASSERT_AT(pEventRecord, message, 4);
HR_ASSERT_AT(pEventRecord, when, 8); HR_ASSERT_AT(pEventRecord, where, 12);
HR_ASSERT_AT(pEventRecord, modifiers, 16);

HR_ASSERT_SIZE(PInitialize, 804);
HR_ASSERT_AT(PInitialize, fPluginAPI, 0); HR_ASSERT_AT(PInitialize, fSuccess, 4);
HR_ASSERT_AT(PInitialize, fWantsMenuItem, 5); HR_ASSERT_AT(PInitialize, fWantsIdleTime, 6);
HR_ASSERT_AT(PInitialize, fWantsWindow, 7); HR_ASSERT_AT(PInitialize, fWindowVisible, 8);
HR_ASSERT_AT(PInitialize, fWindowID, 12); HR_ASSERT_AT(PInitialize, fWindowFloats, 16);
HR_ASSERT_AT(PInitialize, fWindowBounds, 18); HR_ASSERT_AT(PInitialize, fLayer, 28);
HR_ASSERT_AT(PInitialize, fIsTelescopeController, 32);
HR_ASSERT_AT(PInitialize, fWindowMenuItem, 33); HR_ASSERT_AT(PInitialize, fAboutMenuItem, 289);
HR_ASSERT_AT(PInitialize, fOptionsMenuItem, 545);

HR_ASSERT_SIZE(PMenuStatus, 264);
HR_ASSERT_AT(PMenuStatus, fMenuCommand, 0); HR_ASSERT_AT(PMenuStatus, fIsEnabled, 4);
HR_ASSERT_AT(PMenuStatus, fHasCheck, 5); HR_ASSERT_AT(PMenuStatus, fMenuText, 6);

HR_ASSERT_SIZE(PTime, 16);
HR_ASSERT_AT(PTime, fJulianDate, 0); HR_ASSERT_AT(PTime, fPrivate, 8);

HR_ASSERT_SIZE(PLocation, 288);
HR_ASSERT_AT(PLocation, fPlaceName, 0); HR_ASSERT_AT(PLocation, fEarthLatitude, 256);
HR_ASSERT_AT(PLocation, fEarthLongitude, 264); HR_ASSERT_AT(PLocation, fElevation, 272);
HR_ASSERT_AT(PLocation, fTimeZoneSeconds, 280); HR_ASSERT_AT(PLocation, fPrivate, 284);

HR_ASSERT_SIZE(PCentreAction, 32);
HR_ASSERT_AT(PCentreAction, fRightAscension, 0); HR_ASSERT_AT(PCentreAction, fDeclination, 8);
HR_ASSERT_AT(PCentreAction, fUseCustomPan, 16); HR_ASSERT_AT(PCentreAction, fPan, 17);
HR_ASSERT_AT(PCentreAction, fAdjustFOV, 18); HR_ASSERT_AT(PCentreAction, fNewFOV, 24);

HR_ASSERT_SIZE(PIndicator, 328);
HR_ASSERT_AT(PIndicator, fDrawIndicator, 0); HR_ASSERT_AT(PIndicator, fIndicatorStyle, 1);
HR_ASSERT_AT(PIndicator, fDoneDrawing, 2); HR_ASSERT_AT(PIndicator, fCentreRA, 8);
HR_ASSERT_AT(PIndicator, fCentreDec, 16); HR_ASSERT_AT(PIndicator, fVertical, 24);
HR_ASSERT_AT(PIndicator, fHorizontal, 32); HR_ASSERT_AT(PIndicator, fRollAngle, 40);
HR_ASSERT_AT(PIndicator, fPixelsPerRadian, 48); HR_ASSERT_AT(PIndicator, fRed, 56);
HR_ASSERT_AT(PIndicator, fGreen, 58); HR_ASSERT_AT(PIndicator, fBlue, 60);
HR_ASSERT_AT(PIndicator, fString, 62); HR_ASSERT_AT(PIndicator, fWindowThatIsDrawing, 320);

HR_ASSERT_SIZE(PSelection, 1104);
HR_ASSERT_AT(PSelection, fObjectName, 0); HR_ASSERT_AT(PSelection, fObjectIconID, 256);
HR_ASSERT_AT(PSelection, fConstellationName, 258); HR_ASSERT_AT(PSelection, fAz, 520);
HR_ASSERT_AT(PSelection, fAlt, 528); HR_ASSERT_AT(PSelection, fRightAscension, 536);
HR_ASSERT_AT(PSelection, fDeclination, 544); HR_ASSERT_AT(PSelection, fObjectType, 552);
HR_ASSERT_AT(PSelection, fMagnitude, 808); HR_ASSERT_AT(PSelection, fAngularSize, 816);
HR_ASSERT_AT(PSelection, fUserFormattedName, 824); HR_ASSERT_AT(PSelection, fObjectKey, 1080);
HR_ASSERT_AT(PSelection, fObjectLayerID, 1084); HR_ASSERT_AT(PSelection, fPrivate1, 1088);
HR_ASSERT_AT(PSelection, fPrivate2, 1092); HR_ASSERT_AT(PSelection, fObjectIsSelectable, 1096);
HR_ASSERT_AT(PSelection, fIsNewPosition, 1097);

HR_ASSERT_SIZE(PDoContext, 1120);
HR_ASSERT_AT(PDoContext, fMenuHandled, 0); HR_ASSERT_AT(PDoContext, fObject, 8);
HR_ASSERT_AT(PDoContext, fObject.fRightAscension, 544);
HR_ASSERT_AT(PDoContext, fObject.fDeclination, 552);
HR_ASSERT_AT(PDoContext, fObjectBeingDeselected, 1112); HR_ASSERT_AT(PDoContext, fMenuItem, 1114);
HR_ASSERT_AT(PDoContext, fMenuCommand, 1116);

HR_ASSERT_SIZE(PTelescopeTarget, 40);
HR_ASSERT_AT(PTelescopeTarget, fRightAscension, kTelescopeTargetRAOffset);
HR_ASSERT_AT(PTelescopeTarget, fDeclination, kTelescopeTargetDecOffset);

// --- Layouts with 4-byte pointers: asserted on the 32-bit product only ---
#if UINTPTR_MAX == 0xFFFFFFFFu
HR_ASSERT_SIZE(PEvent, 16);
HR_ASSERT_AT(PEvent, fEventRecord, 0); HR_ASSERT_AT(PEvent, fOutOperation, 4);
HR_ASSERT_AT(PEvent, fOutParams, 8); HR_ASSERT_AT(PEvent, fInWindow, 12);

HR_ASSERT_SIZE(PBuildContext, 1120);
HR_ASSERT_AT(PBuildContext, fObject, 0);
HR_ASSERT_AT(PBuildContext, fObject.fRightAscension, 536);
HR_ASSERT_AT(PBuildContext, fObjectBeingDeselected, 1104);
HR_ASSERT_AT(PBuildContext, fMenuHandle, 1108); HR_ASSERT_AT(PBuildContext, fPrivate, 1112);
#endif

#undef HR_ASSERT_SIZE
#undef HR_ASSERT_AT

#endif
