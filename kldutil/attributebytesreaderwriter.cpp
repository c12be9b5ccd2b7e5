#include <kldutil/attributebytesreaderwriter.h>

AttributeBytesReaderWriter::~AttributeBytesReaderWriter() = default;

void AttributeBytesReaderWriter::SetOptionValueInAttributeBytes(AttributeBytesFeatureId feature,
                                                                int32_t valueId) {
    GetAttributeBytesIndexedListRef().SetOptionValue(feature, valueId);
}

void AttributeBytesReaderWriter::SetIntegerValueInAttributeBytes(AttributeBytesFeatureId feature,
                                                                 int32_t value) {
    GetAttributeBytesIndexedListRef().SetIntegerValue(feature, value);
}

void AttributeBytesReaderWriter::SetBooleanValueInAttributeBytes(AttributeBytesFeatureId feature,
                                                                 bool value) {
    GetAttributeBytesIndexedListRef().SetBooleanValue(feature, value);
}

bool AttributeBytesReaderWriter::RemoveFromAttributeBytes(AttributeBytesFeatureId feature) {
    return GetAttributeBytesIndexedListRef().Remove(feature);
}
