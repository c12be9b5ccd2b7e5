// Typed reads of the driver's data model, for classes that own or find an attribute list.
//
// Contract: a derived class supplies the list through GetAttributeBytesIndexedListRef();
// every read asks for it anew, so a class may decode the list lazily or switch it between
// reads. The reads follow the list's rules (attributebytesindexedlist.h): a read without a
// default of an absent feature raises KeldanComException with 0x80070490, a read of the
// wrong kind raises DISP_E_TYPEMISMATCH.
#pragma once

#include <kldutil/attributebytesids.h>
#include <kldutil/attributebytesindexedlist.h>
#include <kldutil/kldutilexport.h>

class KLDUTIL_API AttributeBytesReader {
public:
    virtual ~AttributeBytesReader();

    virtual const AttributeBytesIndexedList& GetAttributeBytesIndexedListRef() const = 0;

    // The value id of an option feature.
    int32_t GetOptionValueFromAttributeBytes(AttributeBytesFeatureId feature) const;
    // The same, or defaultValue when the feature is absent.
    int32_t GetOptionValueFromAttributeBytes(AttributeBytesFeatureId feature,
                                             int32_t defaultValue) const;
    int32_t GetIntegerValueFromAttributeBytes(AttributeBytesFeatureId feature) const;
    int32_t GetIntegerValueFromAttributeBytes(AttributeBytesFeatureId feature,
                                              int32_t defaultValue) const;
    // A boolean feature; an absent one reads false. specified (may be null) tells whether
    // the feature was present.
    bool GetBooleanValueFromAttributeBytes(AttributeBytesFeatureId feature,
                                           bool* specified = nullptr) const;
    bool IsSpecifiedInAttributeBytes(AttributeBytesFeatureId feature) const;

protected:
    AttributeBytesReader() = default;
    AttributeBytesReader(const AttributeBytesReader&) = default;
    AttributeBytesReader& operator=(const AttributeBytesReader&) = default;
};
