// How this folder makes COM objects: on the platform's COM object base (com::Object), with
// Make turning "no memory" into std::bad_alloc so that the one guard of each method
// (Guarded in partobjects.h) answers E_OUTOFMEMORY.
#pragma once

#include "../com/comobject.h"

namespace platform::xps {

// A new T with one reference; throws std::bad_alloc when memory runs out. T's constructor
// must throw nothing else.
template <class T, class... Args>
T* Make(Args&&... args) {
    return com::Require(com::New<T>(std::forward<Args>(args)...));
}

} // namespace platform::xps
