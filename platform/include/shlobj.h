// Known folders (shlobj.h): the user's application data folder.
#pragma once

#include "windows.h"

#define CSIDL_APPDATA 0x001a
#define CSIDL_FLAG_CREATE 0x8000
#define SHGFP_TYPE_CURRENT 0

extern "C" {
// CSIDL_APPDATA only: the application data folder of the user whose token is given, or, with
// a null token, of the user the calling thread acts for. path holds MAX_PATH characters.
// CSIDL_FLAG_CREATE creates the folder when it is missing.
PLATFORM_EXPORT HRESULT WINAPI SHGetFolderPathW(HWND owner, int folder, HANDLE token, DWORD flags,
                                                LPWSTR path);
}
