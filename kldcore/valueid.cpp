#include <kldcore/valueid.h>

DataModelIds::tagValueEnum ValueId::GetValueEnum() const {
    return m_value;
}
