// Measuring a watermark's text as a filter does for each page: a context on the printer, a
// font, its extent and metrics, and everything released; and long text on a selected font.
#include "datetimeapi.h"
#include "platformprinters.h"
#include "timezoneapi.h"
#include "wingdi.h"

#include <benchmark/benchmark.h>

#include <string>

namespace {

LOGFONTW Arial(LONG height, LONG escapement) {
    LOGFONTW font{};
    font.lfHeight = height;
    font.lfWeight = FW_BOLD;
    font.lfEscapement = escapement;
    font.lfOrientation = escapement;
    std::u16string_view(u"Arial").copy(font.lfFaceName, LF_FACESIZE - 1);
    return font;
}

void WatermarkMeasure(benchmark::State& state) {
    const LOGFONTW logical = Arial(-96, static_cast<LONG>(state.range(0)));
    const bool printer = state.range(1) != 0; // a printer's context reads its description
    const std::u16string text = u"CONFIDENTIAL";
    for (auto _ : state) {
        HDC dc = printer
                     ? CreateICW(nullptr, platformprinters::kBuiltinPrinterName, nullptr, nullptr)
                     : CreateICW(u"DISPLAY", nullptr, nullptr, nullptr);
        HFONT font = CreateFontIndirectW(&logical);
        HGDIOBJ old = SelectObject(dc, font);
        SIZE size{};
        TEXTMETRICW metrics{};
        GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()), &size);
        GetTextMetricsW(dc, &metrics);
        SelectObject(dc, old);
        DeleteObject(font);
        DeleteDC(dc);
        benchmark::DoNotOptimize(size);
    }
}
BENCHMARK(WatermarkMeasure)->ArgsProduct({{0, 450}, {1, 0}});

void LongTextExtent(benchmark::State& state) {
    const LOGFONTW logical = Arial(-16, 0);
    HDC dc = CreateICW(u"DISPLAY", nullptr, nullptr, nullptr);
    HFONT font = CreateFontIndirectW(&logical);
    HGDIOBJ old = SelectObject(dc, font);
    std::u16string text;
    while (text.size() < static_cast<size_t>(state.range(0))) {
        text += u"The quick brown fox jumps over the lazy dog. ";
    }
    text.resize(state.range(0));
    for (auto _ : state) {
        SIZE size{};
        GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()), &size);
        benchmark::DoNotOptimize(size);
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
    SelectObject(dc, old);
    DeleteObject(font);
    DeleteDC(dc);
}
BENCHMARK(LongTextExtent)->Arg(64)->Arg(65536);

// The date stamp: the zone, local time, and the day, date and time as text.
void DateStamp(benchmark::State& state) {
    for (auto _ : state) {
        SYSTEMTIME utc{};
        SYSTEMTIME local{};
        TIME_ZONE_INFORMATION zone{};
        GetSystemTime(&utc);
        GetTimeZoneInformation(&zone);
        SystemTimeToTzSpecificLocalTime(&zone, &utc, &local);
        WCHAR day[260];
        WCHAR date[260];
        WCHAR time[260];
        GetDateFormatW(0, 0, &local, u"ddd", day, 260);
        GetDateFormatW(0, 0, &local, nullptr, date, 260);
        GetTimeFormatW(0, 0, &local, nullptr, time, 260);
        benchmark::DoNotOptimize(time);
    }
}
BENCHMARK(DateStamp);

} // namespace

BENCHMARK_MAIN();
