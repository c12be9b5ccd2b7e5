// The classes of the test filter module and what each does (testfilters.h).
#pragma once

#include <windows.h>

namespace testfiltermodule {

inline constexpr CLSID kPassParts{0x5F1D7E00, 0x0000, 0x4000, {0x80, 0, 0, 0, 0, 0, 0, 0x01}};
inline constexpr CLSID kPassBytes{0x5F1D7E00, 0x0000, 0x4000, {0x80, 0, 0, 0, 0, 0, 0, 0x02}};
inline constexpr CLSID kFailAtPageTwo{0x5F1D7E00, 0x0000, 0x4000, {0x80, 0, 0, 0, 0, 0, 0, 0x03}};
inline constexpr CLSID kShutdownAtPageOne{
    0x5F1D7E00, 0x0000, 0x4000, {0x80, 0, 0, 0, 0, 0, 0, 0x04}};
inline constexpr CLSID kNeverRead{0x5F1D7E00, 0x0000, 0x4000, {0x80, 0, 0, 0, 0, 0, 0, 0x05}};
inline constexpr CLSID kIgnoresShutdown{0x5F1D7E00, 0x0000, 0x4000, {0x80, 0, 0, 0, 0, 0, 0, 0x06}};

// The same as configuration files write them.
inline constexpr char kPassPartsText[] = "{5F1D7E00-0000-4000-8000-000000000001}";
inline constexpr char kPassBytesText[] = "{5F1D7E00-0000-4000-8000-000000000002}";
inline constexpr char kFailAtPageTwoText[] = "{5F1D7E00-0000-4000-8000-000000000003}";
inline constexpr char kShutdownAtPageOneText[] = "{5F1D7E00-0000-4000-8000-000000000004}";
inline constexpr char kNeverReadText[] = "{5F1D7E00-0000-4000-8000-000000000005}";
inline constexpr char kIgnoresShutdownText[] = "{5F1D7E00-0000-4000-8000-000000000006}";

} // namespace testfiltermodule
