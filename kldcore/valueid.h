// A value id of the driver's data model as the core library hands it out.
#pragma once

#include <kldcore/kldcoreexport.h>

#include <kldutil/attributebytesids.h>

class KLDCORE_API ValueId {
public:
    constexpr explicit ValueId(DataModelIds::tagValueEnum value) : m_value(value) {}

    DataModelIds::tagValueEnum GetValueEnum() const;

private:
    DataModelIds::tagValueEnum m_value;
};
