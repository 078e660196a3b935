// The host's records as every test-side host hands them over (the end-to-end
// suite, the fuzzer, plughost, plugview): every byte, and guard zones on both
// sides, filled with a canary pattern (0x80 to 0xFF, so never a boolean or an
// idle answer); the host's inputs put in. After the call either every byte
// the plug-in may not write is checked against what the host handed over
// (Check), or every byte against the image the caller expects (Differences).
// Offsets come from HostLayout.h, never from the plug-in's own header.
#ifndef CANARY_RECORD_H
#define CANARY_RECORD_H

#include <stddef.h>
#include <string.h>
#include <memory>
#include <string>
#include <vector>

enum class FieldKind {
    Bool, U8, I16, U16, I32, U32, Double, Pointer,
    PString,        // length-prefixed text the plug-in does not write
    PStringEmptied, // the plug-in writes its length byte only
    PStringAssigned, // the plug-in writes length, characters and a zero byte
    Bytes,          // opaque
};

// Who may write a field: the host alone, the plug-in when it serves the
// call, or the plug-in even when it refuses it (the answer of a refused
// initialisation).
enum class Writer { Host, PlugIn, PlugInAlways };

struct FieldLayout {
    const char *name;
    size_t offset, size;
    FieldKind kind;
    Writer writer;
};

struct RecordLayout {
    const char *name;
    size_t size;
    std::vector<FieldLayout> fields;
};

// The layouts the host owns, with what the plug-in may write: the one list
// of writable bytes of each record.
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
// The layout of the record an operation carries (NoRecordLayout for the others).
const RecordLayout &LayoutFor(unsigned code);

class CanaryRecord {
public:
    static const size_t kGuard = 32;
    // `guard` bytes on each side; with none, the record is a heap block of
    // exactly its size, so that AddressSanitizer sees any access beyond it.
    CanaryRecord(const RecordLayout &layout, unsigned seed = 0, size_t guard = kGuard);
    void *data() { return &bytes_[guard_]; }
    size_t size() const { return layout_->size; }
    const RecordLayout &layout() const { return *layout_; }

    // The host puts a field: into the record and into the expected image.
    template <class T> void Put(size_t offset, T value)
    {
        memcpy(&bytes_[guard_ + offset], &value, sizeof value);
        Expect(offset, value);
    }
    void PutPString(size_t offset, const std::string &text);
    // The record as it is now is what the host hands over (after writing
    // into data() directly).
    void Seal() { memcpy(expected_.data(), bytes_.get(), expected_.size()); }

    // What the plug-in should write, for Differences.
    template <class T> void Expect(size_t offset, T value) { memcpy(&expected_[guard_ + offset], &value, sizeof value); }
    // A length-prefixed string as the plug-in writes it: length, characters, zero.
    void ExpectPString(size_t offset, const char *text);

    template <class T> T Get(size_t offset) const
    {
        T value;
        memcpy(&value, &bytes_[guard_ + offset], sizeof value);
        return value;
    }
    const FieldLayout *Field(const char *name) const;
    bool Changed(const FieldLayout &field) const;
    // "fName=value" for the field, "(as passed)" appended when it did not change.
    std::string Show(const char *name) const;

    // What broke the host's bytes: one line each, empty when all is well.
    // `served`: the plug-in acted on the call, so the fields it answers in
    // may change (otherwise only those it writes even when refusing).
    std::vector<std::string> Check(bool served = true) const;
    // Every byte, guards included, against the expected image: the first
    // differences, empty when there are none.
    std::string Differences() const;

private:
    const RecordLayout *layout_;
    size_t guard_;
    std::unique_ptr<unsigned char[]> bytes_;
    std::vector<unsigned char> expected_;
    std::vector<bool> WritableMask(bool served) const;
};

// The canary byte at position i of a record's image (always 0x80 or above).
unsigned char CanaryByte(size_t i, unsigned seed);

#endif
