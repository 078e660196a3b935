#include "CanaryRecord.h"

#include "HostRecords.h"

#include <stdint.h>
#include <stdio.h>

unsigned char CanaryByte(size_t i, unsigned seed)
{
    return (unsigned char)(0x80 | ((i * 37 + seed * 101 + 0x15) & 0x7F));
}

#define FIELD(T, f, kind, writes) {#f, offsetof(T, f), sizeof(((T *)0)->f), FieldKind::kind, writes}

const RecordLayout &InitializeLayout()
{
    static const RecordLayout layout = {"PInitialize", sizeof(PInitialize), {
        FIELD(PInitialize, fPluginAPI, I32, true), FIELD(PInitialize, fSuccess, Bool, true),
        FIELD(PInitialize, fWantsMenuItem, Bool, true), FIELD(PInitialize, fWantsIdleTime, Bool, true),
        FIELD(PInitialize, fWantsWindow, Bool, true), FIELD(PInitialize, fWindowVisible, Bool, false),
        FIELD(PInitialize, fWindowID, I32, false), FIELD(PInitialize, fWindowFloats, Bool, false),
        FIELD(PInitialize, fWindowBounds, Bytes, false), FIELD(PInitialize, fLayer, I32, true),
        FIELD(PInitialize, fIsTelescopeController, Bool, true),
        FIELD(PInitialize, fWindowMenuItem, PStringEmptied, true),
        FIELD(PInitialize, fAboutMenuItem, PStringEmptied, true),
        FIELD(PInitialize, fOptionsMenuItem, PStringEmptied, true)}};
    return layout;
}

const RecordLayout &MenuStatusLayout()
{
    static const RecordLayout layout = {"PMenuStatus", sizeof(PMenuStatus), {
        FIELD(PMenuStatus, fMenuCommand, I32, false), FIELD(PMenuStatus, fIsEnabled, Bool, true),
        FIELD(PMenuStatus, fHasCheck, Bool, true), FIELD(PMenuStatus, fMenuText, PString, false)}};
    return layout;
}

const RecordLayout &EventLayout()
{
    static const RecordLayout layout = {"PEvent", sizeof(PEvent), {
        FIELD(PEvent, fEventRecord, Pointer, false), FIELD(PEvent, fOutOperation, U8, true),
        FIELD(PEvent, fOutParams, Pointer, true), FIELD(PEvent, fInWindow, U32, false)}};
    return layout;
}

const RecordLayout &EventRecordLayout()
{
    static const RecordLayout layout = {"pEventRecord", sizeof(pEventRecord), {
        FIELD(pEventRecord, what, I16, false), FIELD(pEventRecord, message, U32, false),
        FIELD(pEventRecord, when, U32, false), FIELD(pEventRecord, where, Bytes, false),
        FIELD(pEventRecord, modifiers, I16, false)}};
    return layout;
}

const RecordLayout &IndicatorLayout()
{
    static const RecordLayout layout = {"PIndicator", sizeof(PIndicator), {
        FIELD(PIndicator, fDrawIndicator, Bool, true), FIELD(PIndicator, fIndicatorStyle, U8, true),
        FIELD(PIndicator, fDoneDrawing, Bool, true), FIELD(PIndicator, fCentreRA, Double, true),
        FIELD(PIndicator, fCentreDec, Double, true), FIELD(PIndicator, fVertical, Double, true),
        FIELD(PIndicator, fHorizontal, Double, true), FIELD(PIndicator, fRollAngle, Double, true),
        FIELD(PIndicator, fPixelsPerRadian, Double, false), FIELD(PIndicator, fRed, U16, false),
        FIELD(PIndicator, fGreen, U16, false), FIELD(PIndicator, fBlue, U16, false),
        FIELD(PIndicator, fString, PStringAssigned, true), FIELD(PIndicator, fWindowThatIsDrawing, U32, false)}};
    return layout;
}

// The selected object's fields, inside a record at `base`.
static void AddSelection(std::vector<FieldLayout> *fields, size_t base)
{
    const FieldLayout selection[] = {
        FIELD(PSelection, fObjectName, PString, false), FIELD(PSelection, fObjectIconID, I16, false),
        FIELD(PSelection, fConstellationName, PString, false), FIELD(PSelection, fAz, Double, false),
        FIELD(PSelection, fAlt, Double, false), FIELD(PSelection, fRightAscension, Double, false),
        FIELD(PSelection, fDeclination, Double, false), FIELD(PSelection, fObjectType, PString, false),
        FIELD(PSelection, fMagnitude, Double, false), FIELD(PSelection, fAngularSize, Double, false),
        FIELD(PSelection, fUserFormattedName, PString, false), FIELD(PSelection, fObjectKey, U32, false),
        FIELD(PSelection, fObjectLayerID, I32, false), FIELD(PSelection, fPrivate1, U32, false),
        FIELD(PSelection, fPrivate2, U32, false), FIELD(PSelection, fObjectIsSelectable, Bool, false),
        FIELD(PSelection, fIsNewPosition, Bool, false)};
    for (FieldLayout f : selection) {
        f.offset += base;
        fields->push_back(f);
    }
}

const RecordLayout &BuildContextLayout()
{
    static const RecordLayout layout = [] {
        RecordLayout s = {"PBuildContext", sizeof(PBuildContext), {}};
        AddSelection(&s.fields, offsetof(PBuildContext, fObject));
        s.fields.push_back(FIELD(PBuildContext, fObjectBeingDeselected, Bool, false));
        s.fields.push_back(FIELD(PBuildContext, fMenuHandle, Pointer, false));
        s.fields.push_back(FIELD(PBuildContext, fPrivate, Pointer, false));
        return s;
    }();
    return layout;
}

const RecordLayout &DoContextLayout()
{
    static const RecordLayout layout = [] {
        RecordLayout s = {"PDoContext", sizeof(PDoContext), {FIELD(PDoContext, fMenuHandled, Bool, false)}};
        AddSelection(&s.fields, offsetof(PDoContext, fObject));
        s.fields.push_back(FIELD(PDoContext, fObjectBeingDeselected, Bool, false));
        s.fields.push_back(FIELD(PDoContext, fMenuItem, I16, false));
        s.fields.push_back(FIELD(PDoContext, fMenuCommand, I32, false));
        return s;
    }();
    return layout;
}

// The host's record may be longer than the two coordinates the plug-in reads.
const RecordLayout &TelescopeTargetLayout()
{
    static const RecordLayout layout = {"PTelescopeTarget", 64, {
        {"fHostOwned", 0, 24, FieldKind::Bytes, false},
        FIELD(PTelescopeTarget, fRightAscension, Double, false),
        FIELD(PTelescopeTarget, fDeclination, Double, false),
        {"(host's tail)", 40, 24, FieldKind::Bytes, false}}};
    return layout;
}

const RecordLayout &TimeLayout()
{
    static const RecordLayout layout = {"PTime", sizeof(PTime), {
        FIELD(PTime, fJulianDate, Double, false), FIELD(PTime, fPrivate, U32, false)}};
    return layout;
}

const RecordLayout &LocationLayout()
{
    static const RecordLayout layout = {"PLocation", sizeof(PLocation), {
        FIELD(PLocation, fPlaceName, PString, false), FIELD(PLocation, fEarthLatitude, Double, false),
        FIELD(PLocation, fEarthLongitude, Double, false), FIELD(PLocation, fElevation, Double, false),
        FIELD(PLocation, fTimeZoneSeconds, I32, false), FIELD(PLocation, fPrivate, U32, false)}};
    return layout;
}

const RecordLayout &NoRecordLayout()
{
    static const RecordLayout layout = {"(no record)", 64, {}};
    return layout;
}

#undef FIELD

// --- The record ---

CanaryRecord::CanaryRecord(const RecordLayout &layout, unsigned seed) : layout_(&layout)
{
    bytes_.resize(layout.size + 2 * kGuard);
    for (size_t i = 0; i < bytes_.size(); ++i)
        bytes_[i] = CanaryByte(i, seed);
    sealed_ = bytes_;
}

void CanaryRecord::PutPString(size_t offset, const std::string &text)
{
    size_t n = text.size() < 255 ? text.size() : 255;
    bytes_[kGuard + offset] = (unsigned char)n;
    memcpy(&bytes_[kGuard + offset + 1], text.data(), n);
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
    return memcmp(&bytes_[kGuard + f.offset], &sealed_[kGuard + f.offset], f.size) != 0;
}

std::vector<bool> CanaryRecord::WritableMask() const
{
    std::vector<bool> mask(layout_->size, false);
    for (const FieldLayout &f : layout_->fields) {
        if (!f.pluginWrites)
            continue;
        size_t n = f.size;
        if (f.kind == FieldKind::PStringEmptied)
            n = 1;
        else if (f.kind == FieldKind::PStringAssigned)
            n = bytes_[kGuard + f.offset] + 2u < f.size ? bytes_[kGuard + f.offset] + 2u : f.size;
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

std::vector<std::string> CanaryRecord::Check() const
{
    std::vector<std::string> faults;
    const std::string record = layout_->name;
    const unsigned char *now = bytes_.data(), *was = sealed_.data();
    if (memcmp(now, was, kGuard) != 0)
        faults.push_back(record + ": bytes before the record overwritten");
    if (memcmp(now + kGuard + layout_->size, was + kGuard + layout_->size, kGuard) != 0)
        faults.push_back(record + ": bytes after the record (offset " + std::to_string(layout_->size) + " on) overwritten");
    std::vector<bool> writable = WritableMask();
    for (size_t i = 0; i < layout_->size;) {
        if (writable[i] || now[kGuard + i] == was[kGuard + i]) {
            ++i;
            continue;
        }
        size_t end = i;
        while (end < layout_->size && !writable[end] && now[kGuard + end] != was[kGuard + end])
            ++end;
        std::string where = "padding";
        for (const FieldLayout &f : layout_->fields)
            if (i >= f.offset && i < f.offset + f.size)
                where = std::string(f.name) + (f.pluginWrites ? " (beyond what the plug-in may write)" : " (host's)");
        faults.push_back(record + ": " + where + " changed at offset " + std::to_string(i) + ": " +
                         Hex(was + kGuard + i, end - i) + " -> " + Hex(now + kGuard + i, end - i));
        i = end;
    }
    for (const FieldLayout &f : layout_->fields) {
        unsigned char v = now[kGuard + f.offset];
        if (f.kind == FieldKind::Bool && f.pluginWrites && Changed(f) && v > 1)
            faults.push_back(record + ": " + f.name + " = " + std::to_string(v) + ", not a boolean");
    }
    return faults;
}

std::string CanaryRecord::Show(const char *name) const
{
    const FieldLayout *f = Field(name);
    if (f == nullptr)
        return std::string(name) + "=?";
    const unsigned char *p = &bytes_[kGuard + f->offset];
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
