// A reader that can also change the data model it reads.
//
// Contract: a derived class supplies the list in both forms; the const form is what the
// reads of AttributeBytesReader use, the other is what the writes change. Writing the
// changed list back to where it came from (a devmode, a print ticket) is the derived
// class's business. Dump writes a description for debugging.
#pragma once

#include <kldutil/attributebytesreader.h>
#include <kldutil/kldutilexport.h>

class KLDUTIL_API AttributeBytesReaderWriter : public AttributeBytesReader {
public:
    ~AttributeBytesReaderWriter() override;

    const AttributeBytesIndexedList& GetAttributeBytesIndexedListRef() const override = 0;
    virtual AttributeBytesIndexedList& GetAttributeBytesIndexedListRef() = 0;
    virtual void Dump() const = 0;

    void SetOptionValueInAttributeBytes(AttributeBytesFeatureId feature, int32_t valueId);
    void SetIntegerValueInAttributeBytes(AttributeBytesFeatureId feature, int32_t value);
    void SetBooleanValueInAttributeBytes(AttributeBytesFeatureId feature, bool value);
    // Whether the feature was there.
    bool RemoveFromAttributeBytes(AttributeBytesFeatureId feature);

protected:
    AttributeBytesReaderWriter() = default;
    AttributeBytesReaderWriter(const AttributeBytesReaderWriter&) = default;
    AttributeBytesReaderWriter& operator=(const AttributeBytesReaderWriter&) = default;
};
