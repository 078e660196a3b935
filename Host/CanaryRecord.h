// The host's records as the stand-in host hands them over: every byte, and
// guard zones on both sides, filled with a canary pattern; the host's inputs
// put in; after the call every byte outside the fields the plug-in may write
// is checked against what the host handed over.
#ifndef CANARY_RECORD_H
#define CANARY_RECORD_H

#include <stddef.h>
#include <string.h>
#include <string>
#include <vector>

enum class FieldKind {
    Bool, U8, I16, U16, I32, U32, Double, Pointer,
    PString,        // length-prefixed text the plug-in does not write
    PStringEmptied, // the plug-in writes its length byte only
    PStringAssigned, // the plug-in writes length, characters and a zero byte
    Bytes,          // opaque
};

struct FieldLayout {
    const char *name;
    size_t offset, size;
    FieldKind kind;
    bool pluginWrites;
};

struct RecordLayout {
    const char *name;
    size_t size;
    std::vector<FieldLayout> fields;
};

// The layouts the host owns, with what the plug-in may write.
const RecordLayout &InitializeLayout();
const RecordLayout &MenuStatusLayout();
const RecordLayout &EventLayout();
const RecordLayout &EventRecordLayout();
const RecordLayout &IndicatorLayout();
const RecordLayout &BuildContextLayout();
const RecordLayout &DoContextLayout();
const RecordLayout &TelescopeTargetLayout();
const RecordLayout &TimeLayout();
const RecordLayout &LocationLayout();
const RecordLayout &NoRecordLayout(); // for operations that read none: nothing may change

class CanaryRecord {
public:
    CanaryRecord(const RecordLayout &layout, unsigned seed);
    void *data() { return &bytes_[kGuard]; }
    const RecordLayout &layout() const { return *layout_; }

    // The host puts a field; Seal then takes the image handed to the plug-in.
    template <class T> void Put(size_t offset, T value) { memcpy(&bytes_[kGuard + offset], &value, sizeof value); }
    void PutPString(size_t offset, const std::string &text);
    void Seal() { sealed_ = bytes_; }

    template <class T> T Get(size_t offset) const
    {
        T value;
        memcpy(&value, &bytes_[kGuard + offset], sizeof value);
        return value;
    }
    const FieldLayout *Field(const char *name) const;
    bool Changed(const FieldLayout &field) const;
    // "fName=value" for the field, "(as passed)" appended when it did not change.
    std::string Show(const char *name) const;

    // What broke the host's bytes: one line each, empty when all is well.
    std::vector<std::string> Check() const;

private:
    static const size_t kGuard = 32;
    const RecordLayout *layout_;
    std::vector<unsigned char> bytes_, sealed_;
    std::vector<bool> WritableMask() const;
};

// The canary byte at position i of a record's image (always 0x80 or above).
unsigned char CanaryByte(size_t i, unsigned seed);

#endif
