// Symbol visibility of FilterUtilities: built with hidden visibility, the library exports its
// classes whole and its free functions one by one with FILTERUTILITIES_API, as the Windows
// DLL does with __declspec(dllexport).
#pragma once

#define FILTERUTILITIES_API __attribute__((visibility("default")))
