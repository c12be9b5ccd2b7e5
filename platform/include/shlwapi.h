// Path helpers (shlwapi.h): whether a path exists, and joining a path with the platform's
// separator. On this platform the separator is '/', where Windows has '\', so code that joins
// paths through PathAppendW names the same place on both.
#pragma once

#include "windows.h"

// The separator between the folders of a path.
#define PLATFORM_PATH_SEPARATOR u'/'

extern "C" {
// TRUE when the path names something that exists (a file, a folder or anything else a link
// leads to); FALSE for a null or empty path, or one that cannot be converted to a file name.
PLATFORM_EXPORT BOOL WINAPI PathFileExistsW(LPCWSTR path);

// Appends more to path (a buffer of MAX_PATH characters), with one separator between them:
// separators at the end of path and at the start of more are not doubled. An empty path takes
// more as it is. FALSE, leaving path unchanged, for a null argument or when the result would
// not fit in MAX_PATH characters with its terminating zero.
PLATFORM_EXPORT BOOL WINAPI PathAppendW(LPWSTR path, LPCWSTR more);
}
