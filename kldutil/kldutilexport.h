// Symbol visibility of the utility library: built with hidden visibility, it exports what it
// marks with KLDUTIL_API, as the Windows DLL marks its exports.
#pragma once

#define KLDUTIL_API __attribute__((visibility("default")))
