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

struct FieldSpec {
    const char *name;
    size_t offset, size;
    FieldKind kind;
    bool pluginWrites;
};

struct RecordSpec {
    const char *name;
    size_t size;
    std::vector<FieldSpec> fields;
};

// The layouts the host owns, with what the plug-in may write.
const RecordSpec &InitializeSpec();
const RecordSpec &MenuStatusSpec();
const RecordSpec &EventSpec();
const RecordSpec &EventRecordSpec();
const RecordSpec &IndicatorSpec();
const RecordSpec &BuildContextSpec();
const RecordSpec &DoContextSpec();
const RecordSpec &TelescopeTargetSpec();
const RecordSpec &NoRecordSpec(); // for operations that read none: nothing may change

class CanaryRecord {
public:
    CanaryRecord(const RecordSpec &spec, unsigned seed);
    void *data() { return &bytes_[kGuard]; }
    const RecordSpec &spec() const { return *spec_; }

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
    const FieldSpec *Field(const char *name) const;
    bool Changed(const FieldSpec &field) const;
    // "fName=value" for the field, "(as passed)" appended when it did not change.
    std::string Show(const char *name) const;

    // What broke the host's bytes: one line each, empty when all is well.
    std::vector<std::string> Check() const;

private:
    static const size_t kGuard = 32;
    const RecordSpec *spec_;
    std::vector<unsigned char> bytes_, sealed_;
    std::vector<bool> WritableMask() const;
};

// The canary byte at position i of a record's image (always 0x80 or above).
unsigned char CanaryByte(size_t i, unsigned seed);

#endif
