// winbase.h: the user name of the calling thread; scaling integers.
#pragma once

#include "windows.h"

#define UNLEN 256

extern "C" {
// The name of the user the calling thread acts for: the impersonated user, or the user the
// process runs as. size is in characters, the terminating zero included; when the buffer is
// too small, FALSE with ERROR_INSUFFICIENT_BUFFER and *size set to what is needed.
PLATFORM_EXPORT BOOL WINAPI GetUserNameW(LPWSTR buffer, LPDWORD size);

// number * numerator / denominator, rounded to the nearest integer (halves away from zero),
// computed without intermediate overflow. -1 when denominator is 0 or the result does not fit.
PLATFORM_EXPORT int WINAPI MulDiv(int number, int numerator, int denominator);
}
