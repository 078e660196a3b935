#include "CanaryRecord.h"

#include "HostLayout.h"

#include <stdint.h>
#include <stdio.h>

unsigned char CanaryByte(size_t i, unsigned seed)
{
    return (unsigned char)(0x80 | ((i * 37 + seed * 101 + 0x15) & 0x7F));
}

using namespace HostLayout;

namespace {

size_t KindSize(FieldKind kind)
{
    switch (kind) {
    case FieldKind::Bool: case FieldKind::U8: return 1;
    case FieldKind::I16: case FieldKind::U16: return 2;
    case FieldKind::I32: case FieldKind::U32: return 4;
    case FieldKind::Double: return 8;
    case FieldKind::Pointer: return sizeof(void *);
    case FieldKind::PString: case FieldKind::PStringEmptied: case FieldKind::PStringAssigned: return kPStringSize;
    case FieldKind::Bytes: break;
    }
    return 0;
}

FieldLayout Host(const char *name, size_t offset, FieldKind kind) { return {name, offset, KindSize(kind), kind, Writer::Host}; }
FieldLayout PlugIn(const char *name, size_t offset, FieldKind kind) { return {name, offset, KindSize(kind), kind, Writer::PlugIn}; }
FieldLayout Opaque(const char *name, size_t offset, size_t size) { return {name, offset, size, FieldKind::Bytes, Writer::Host}; }

// A record's own fields and the selected object's, at `base` inside it.
RecordLayout WithSelection(RecordLayout record, size_t base)
{
    const FieldLayout selection[] = {
        Host("fObjectName", kSelObjectName, FieldKind::PString), Host("fObjectIconID", kSelObjectIconID, FieldKind::I16),
        Host("fConstellationName", kSelConstellationName, FieldKind::PString), Host("fAz", kSelAz, FieldKind::Double),
        Host("fAlt", kSelAlt, FieldKind::Double), Host("fRightAscension", kSelRightAscension, FieldKind::Double),
        Host("fDeclination", kSelDeclination, FieldKind::Double), Host("fObjectType", kSelObjectType, FieldKind::PString),
        Host("fMagnitude", kSelMagnitude, FieldKind::Double), Host("fAngularSize", kSelAngularSize, FieldKind::Double),
        Host("fUserFormattedName", kSelUserFormattedName, FieldKind::PString),
        Host("fObjectKey", kSelObjectKey, FieldKind::U32), Host("fObjectLayerID", kSelObjectLayerID, FieldKind::I32),
        Host("fPrivate1", kSelPrivate1, FieldKind::U32), Host("fPrivate2", kSelPrivate2, FieldKind::U32),
        Host("fObjectIsSelectable", kSelObjectIsSelectable, FieldKind::Bool),
        Host("fIsNewPosition", kSelIsNewPosition, FieldKind::Bool)};
    for (FieldLayout f : selection) {
        f.offset += base;
        record.fields.push_back(f);
    }
    return record;
}

} // namespace

const RecordLayout &InitializeLayout()
{
    static const RecordLayout layout = {"PInitialize", kInitializeSize, {
        PlugIn("fPluginAPI", kInitPluginAPI, FieldKind::I32),
        {"fSuccess", kInitSuccess, 1, FieldKind::Bool, Writer::PlugInAlways},
        PlugIn("fWantsMenuItem", kInitWantsMenuItem, FieldKind::Bool),
        PlugIn("fWantsIdleTime", kInitWantsIdleTime, FieldKind::Bool),
        PlugIn("fWantsWindow", kInitWantsWindow, FieldKind::Bool),
        Host("fWindowVisible", kInitWindowVisible, FieldKind::Bool), Host("fWindowID", kInitWindowID, FieldKind::I32),
        Host("fWindowFloats", kInitWindowFloats, FieldKind::Bool),
        Opaque("fWindowBounds", kInitWindowBounds, kInitWindowBoundsSize), PlugIn("fLayer", kInitLayer, FieldKind::I32),
        PlugIn("fIsTelescopeController", kInitIsTelescopeController, FieldKind::Bool),
        PlugIn("fWindowMenuItem", kInitWindowMenuItem, FieldKind::PStringEmptied),
        PlugIn("fAboutMenuItem", kInitAboutMenuItem, FieldKind::PStringEmptied),
        PlugIn("fOptionsMenuItem", kInitOptionsMenuItem, FieldKind::PStringEmptied)}};
    return layout;
}

const RecordLayout &MenuStatusLayout()
{
    static const RecordLayout layout = {"PMenuStatus", kMenuStatusSize, {
        Host("fMenuCommand", kMenuCommand, FieldKind::I32), PlugIn("fIsEnabled", kMenuIsEnabled, FieldKind::Bool),
        PlugIn("fHasCheck", kMenuHasCheck, FieldKind::Bool), Host("fMenuText", kMenuText, FieldKind::PString)}};
    return layout;
}

const RecordLayout &EventLayout()
{
    static const RecordLayout layout = {"PEvent", kEventSize, {
        Host("fEventRecord", kEventRecordPointer, FieldKind::Pointer),
        PlugIn("fOutOperation", kEventOutOperation, FieldKind::U8),
        PlugIn("fOutParams", kEventOutParams, FieldKind::Pointer), Host("fInWindow", kEventInWindow, FieldKind::U32)}};
    return layout;
}

const RecordLayout &EventRecordLayout()
{
    static const RecordLayout layout = {"pEventRecord", kEventRecordSize, {
        Host("what", kEvWhat, FieldKind::I16), Host("message", kEvMessage, FieldKind::U32),
        Host("when", kEvWhen, FieldKind::U32), Opaque("where", kEvWhere, kEvWhereSize),
        Host("modifiers", kEvModifiers, FieldKind::I16)}};
    return layout;
}

const RecordLayout &IndicatorLayout()
{
    static const RecordLayout layout = {"PIndicator", kIndicatorSize, {
        PlugIn("fDrawIndicator", kIndDrawIndicator, FieldKind::Bool), PlugIn("fIndicatorStyle", kIndStyle, FieldKind::U8),
        PlugIn("fDoneDrawing", kIndDoneDrawing, FieldKind::Bool), PlugIn("fCentreRA", kIndCentreRA, FieldKind::Double),
        PlugIn("fCentreDec", kIndCentreDec, FieldKind::Double), PlugIn("fVertical", kIndVertical, FieldKind::Double),
        PlugIn("fHorizontal", kIndHorizontal, FieldKind::Double), PlugIn("fRollAngle", kIndRollAngle, FieldKind::Double),
        Host("fPixelsPerRadian", kIndPixelsPerRadian, FieldKind::Double), Host("fRed", kIndRed, FieldKind::U16),
        Host("fGreen", kIndGreen, FieldKind::U16), Host("fBlue", kIndBlue, FieldKind::U16),
        PlugIn("fString", kIndString, FieldKind::PStringAssigned),
        Host("fWindowThatIsDrawing", kIndWindowThatIsDrawing, FieldKind::U32)}};
    return layout;
}

const RecordLayout &BuildContextLayout()
{
    static const RecordLayout layout = WithSelection({"PBuildContext", kBuildContextSize, {
        Host("fObjectBeingDeselected", kBuildBeingDeselected, FieldKind::Bool),
        Host("fMenuHandle", kBuildMenuHandle, FieldKind::Pointer), Host("fPrivate", kBuildPrivate, FieldKind::Pointer)}},
        kBuildObject);
    return layout;
}

const RecordLayout &DoContextLayout()
{
    static const RecordLayout layout = WithSelection({"PDoContext", kDoContextSize, {
        Host("fMenuHandled", kDoContextMenuHandled, FieldKind::Bool),
        Host("fObjectBeingDeselected", kDoContextBeingDeselected, FieldKind::Bool),
        Host("fMenuItem", kDoContextMenuItem, FieldKind::I16), Host("fMenuCommand", kDoContextMenuCommand, FieldKind::I32)}},
        kDoContextObject);
    return layout;
}

// The host's record may be longer than the two coordinates the plug-in reads.
const RecordLayout &TelescopeTargetLayout()
{
    static const RecordLayout layout = {"PTelescopeTarget", 64, {
        Opaque("fHostOwned", 0, kTargetRA), Host("fRightAscension", kTargetRA, FieldKind::Double),
        Host("fDeclination", kTargetDec, FieldKind::Double), Opaque("(host's tail)", kTargetSize, 64 - kTargetSize)}};
    return layout;
}

const RecordLayout &TimeLayout()
{
    static const RecordLayout layout = {"PTime", kTimeSize, {
        Host("fJulianDate", kTimeJulianDate, FieldKind::Double), Host("fPrivate", kTimePrivate, FieldKind::U32)}};
    return layout;
}

const RecordLayout &LocationLayout()
{
    static const RecordLayout layout = {"PLocation", kLocationSize, {
        Host("fPlaceName", kLocPlaceName, FieldKind::PString), Host("fEarthLatitude", kLocLatitude, FieldKind::Double),
        Host("fEarthLongitude", kLocLongitude, FieldKind::Double), Host("fElevation", kLocElevation, FieldKind::Double),
        Host("fTimeZoneSeconds", kLocTimeZoneSeconds, FieldKind::I32), Host("fPrivate", kLocPrivate, FieldKind::U32)}};
    return layout;
}

// As large as the largest record, so that a stray access is seen wherever it lands.
const RecordLayout &NoRecordLayout()
{
    static const RecordLayout layout = {"(no record)", kDoContextSize, {}};
    return layout;
}

const RecordLayout &LayoutFor(unsigned code)
{
    switch (code & 0xFFu) {
    case op_Initialize: return InitializeLayout();
    case op_Idle: return EventLayout();
    case op_BuildContextualPopup: return BuildContextLayout();
    case op_DoContextualPopup: return DoContextLayout();
    case op_DrawIndicator: return IndicatorLayout();
    case op_MenuStatus: return MenuStatusLayout();
    case op_TelescopeTime: return TimeLayout();
    case op_TelescopeLocation: return LocationLayout();
    case op_TelescopeSlew:
    case op_TelescopeSync: return TelescopeTargetLayout();
    default: return NoRecordLayout();
    }
}

// --- The record ---

CanaryRecord::CanaryRecord(const RecordLayout &layout, unsigned seed, size_t guard)
    : layout_(&layout), guard_(guard), bytes_(new unsigned char[layout.size + 2 * guard]),
      expected_(layout.size + 2 * guard)
{
    for (size_t i = 0; i < expected_.size(); ++i)
        bytes_[i] = expected_[i] = CanaryByte(i, seed);
}

void CanaryRecord::PutPString(size_t offset, const std::string &text)
{
    size_t n = text.size() < 255 ? text.size() : 255;
    bytes_[guard_ + offset] = expected_[guard_ + offset] = (unsigned char)n;
    memcpy(&bytes_[guard_ + offset + 1], text.data(), n);
    memcpy(&expected_[guard_ + offset + 1], text.data(), n);
}

void CanaryRecord::ExpectPString(size_t offset, const char *text)
{
    size_t n = strlen(text);
    expected_[guard_ + offset] = (unsigned char)n;
    memcpy(&expected_[guard_ + offset + 1], text, n + 1);
}

const FieldLayout *CanaryRecord::Field(const char *name) const
{
    for (const FieldLayout &f : layout_->fields)
        if (strcmp(f.name, name) == 0)
            return &f;
    return nullptr;
}

bool CanaryRecord::Changed(const FieldLayout &f) const
{
    return memcmp(&bytes_[guard_ + f.offset], &expected_[guard_ + f.offset], f.size) != 0;
}

std::vector<bool> CanaryRecord::WritableMask(bool served) const
{
    std::vector<bool> mask(layout_->size, false);
    for (const FieldLayout &f : layout_->fields) {
        if (f.writer == Writer::Host || (f.writer == Writer::PlugIn && !served))
            continue;
        size_t n = f.size;
        if (f.kind == FieldKind::PStringEmptied)
            n = 1;
        else if (f.kind == FieldKind::PStringAssigned)
            n = bytes_[guard_ + f.offset] + 2u < f.size ? bytes_[guard_ + f.offset] + 2u : f.size;
        for (size_t i = 0; i < n; ++i)
            mask[f.offset + i] = true;
    }
    return mask;
}

static std::string Hex(const unsigned char *p, size_t n)
{
    std::string s;
    char b[4];
    for (size_t i = 0; i < n && i < 8; ++i) {
        snprintf(b, sizeof b, "%s%02X", i ? " " : "", p[i]);
        s += b;
    }
    return n > 8 ? s + " ..." : s;
}

std::vector<std::string> CanaryRecord::Check(bool served) const
{
    std::vector<std::string> faults;
    const std::string record = layout_->name;
    const unsigned char *now = bytes_.get(), *was = expected_.data();
    if (memcmp(now, was, guard_) != 0)
        faults.push_back(record + ": bytes before the record overwritten");
    if (memcmp(now + guard_ + layout_->size, was + guard_ + layout_->size, guard_) != 0)
        faults.push_back(record + ": bytes after the record (offset " + std::to_string(layout_->size) + " on) overwritten");
    std::vector<bool> writable = WritableMask(served);
    for (size_t i = 0; i < layout_->size;) {
        if (writable[i] || now[guard_ + i] == was[guard_ + i]) {
            ++i;
            continue;
        }
        size_t end = i;
        while (end < layout_->size && !writable[end] && now[guard_ + end] != was[guard_ + end])
            ++end;
        std::string where = "padding";
        for (const FieldLayout &f : layout_->fields)
            if (i >= f.offset && i < f.offset + f.size)
                where = std::string(f.name) + (f.writer != Writer::Host ? " (beyond what the plug-in may write)" : " (host's)");
        faults.push_back(record + ": " + where + " changed at offset " + std::to_string(i) + ": " +
                         Hex(was + guard_ + i, end - i) + " -> " + Hex(now + guard_ + i, end - i));
        i = end;
    }
    for (const FieldLayout &f : layout_->fields) {
        unsigned char v = now[guard_ + f.offset];
        if (f.kind == FieldKind::Bool && f.writer != Writer::Host && Changed(f) && v > 1)
            faults.push_back(record + ": " + f.name + " = " + std::to_string(v) + ", not a boolean");
    }
    return faults;
}

std::string CanaryRecord::Show(const char *name) const
{
    const FieldLayout *f = Field(name);
    if (f == nullptr)
        return std::string(name) + "=?";
    const unsigned char *p = &bytes_[guard_ + f->offset];
    char text[300];
    switch (f->kind) {
    case FieldKind::Bool:
    case FieldKind::U8: snprintf(text, sizeof text, "%u", p[0]); break;
    case FieldKind::I16: snprintf(text, sizeof text, "%d", Get<int16_t>(f->offset)); break;
    case FieldKind::U16: snprintf(text, sizeof text, "%u", Get<uint16_t>(f->offset)); break;
    case FieldKind::I32: snprintf(text, sizeof text, "%d", (int)Get<int32_t>(f->offset)); break;
    case FieldKind::U32: snprintf(text, sizeof text, "%u", (unsigned)Get<uint32_t>(f->offset)); break;
    case FieldKind::Double: snprintf(text, sizeof text, "%.17g", Get<double>(f->offset)); break;
    case FieldKind::Pointer: snprintf(text, sizeof text, "%p", Get<void *>(f->offset)); break;
    case FieldKind::PString:
    case FieldKind::PStringEmptied:
    case FieldKind::PStringAssigned: snprintf(text, sizeof text, "\"%.*s\"", (int)p[0], (const char *)p + 1); break;
    case FieldKind::Bytes: snprintf(text, sizeof text, "%s", Hex(p, f->size).c_str()); break;
    }
    return std::string(name) + "=" + text + (Changed(*f) ? "" : " (as passed)");
}

std::string CanaryRecord::Differences() const
{
    std::string differences;
    size_t shown = 0;
    for (size_t i = 0; i < expected_.size(); ++i) {
        const unsigned got = bytes_[i], want = expected_[i];
        if (got != want && shown++ < 12) {
            char line[96];
            snprintf(line, sizeof line, "\n  byte %ld of %zu: 0x%02x, expected 0x%02x", (long)i - (long)guard_,
                     layout_->size, got, want);
            differences += line;
        }
    }
    return shown == 0 ? differences : std::to_string(shown) + " bytes differ" + differences;
}
