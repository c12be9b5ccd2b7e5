#include <kldutil/attributebytesreader.h>

AttributeBytesReader::~AttributeBytesReader() = default;

int32_t
AttributeBytesReader::GetOptionValueFromAttributeBytes(AttributeBytesFeatureId feature) const {
    return GetAttributeBytesIndexedListRef().GetOptionValue(feature);
}

int32_t AttributeBytesReader::GetOptionValueFromAttributeBytes(AttributeBytesFeatureId feature,
                                                               int32_t defaultValue) const {
    const AttributeBytesIndexedList& list = GetAttributeBytesIndexedListRef();
    return list.IsSpecified(feature) ? list.GetOptionValue(feature) : defaultValue;
}

int32_t
AttributeBytesReader::GetIntegerValueFromAttributeBytes(AttributeBytesFeatureId feature) const {
    return GetAttributeBytesIndexedListRef().GetIntegerValue(feature);
}

int32_t AttributeBytesReader::GetIntegerValueFromAttributeBytes(AttributeBytesFeatureId feature,
                                                                int32_t defaultValue) const {
    const AttributeBytesIndexedList& list = GetAttributeBytesIndexedListRef();
    return list.IsSpecified(feature) ? list.GetIntegerValue(feature) : defaultValue;
}

bool AttributeBytesReader::GetBooleanValueFromAttributeBytes(AttributeBytesFeatureId feature,
                                                             bool* specified) const {
    const AttributeBytesIndexedList& list = GetAttributeBytesIndexedListRef();
    const bool present = list.IsSpecified(feature);
    if (specified != nullptr) {
        *specified = present;
    }
    return present && list.GetBooleanValue(feature);
}

bool AttributeBytesReader::IsSpecifiedInAttributeBytes(AttributeBytesFeatureId feature) const {
    return GetAttributeBytesIndexedListRef().IsSpecified(feature);
}
