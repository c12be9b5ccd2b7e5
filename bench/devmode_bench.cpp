// The driver's devmode through the attribute bytes bridge, without the process-wide cache:
// locating the private block, checking its checksum and decoding the document settings, and
// the same followed by an edit written back into the block. The devmode is the one the
// driver's user interface makes, with a realistic set of settings and the block at an odd
// offset, so that every field read is unaligned.
#include <filterutilities/printticketattributebytesreaderwriter.h>

#include <kldutil/attributebytesindexedlist.h>
#include <kldutil/kdevmode.h>

#include <benchmark/benchmark.h>

namespace {

const ByteBuffer& Devmode() {
    static const ByteBuffer devmode = [] {
        AttributeBytesIndexedList model;
        for (int feature = 100; feature < 160; ++feature) {
            model.SetOptionValue(AttributeBytesFeatureId(feature), 7000 + feature);
        }
        AttributeBytesIndexedList size;
        size.SetIntegerValue(AttributeBytesFeatureId(172), 210000);
        size.SetIntegerValue(AttributeBytesFeatureId(173), 297000);
        model.SetCollection(AttributeBytesFeatureId(210), size);
        KDevmodeSettings settings;
        settings.blockOffset = 117;
        return KDevmode::Build(model, settings);
    }();
    return devmode;
}

void DevmodeDecode(benchmark::State& state) {
    ByteBuffer devmode = Devmode();
    PrintTicketAttributeBytesReaderWriter bridge(nullptr, true);
    for (auto _ : state) {
        bridge.SetDevmode(devmode);
        benchmark::DoNotOptimize(
            bridge.GetAttributeBytesIndexedListRef().GetNumberOfAttributeBytes());
    }
}
BENCHMARK(DevmodeDecode);

void DevmodeEditAndCommit(benchmark::State& state) {
    ByteBuffer devmode = Devmode();
    PrintTicketAttributeBytesReaderWriter bridge(nullptr, true);
    int32_t value = 0;
    for (auto _ : state) {
        bridge.SetDevmode(devmode);
        bridge.SetOptionValueInAttributeBytes(AttributeBytesFeatureId(215), ++value);
        bridge.CommitChangesToPrintTicket();
        benchmark::DoNotOptimize(bridge.GetPublicDevmodePtr());
    }
}
BENCHMARK(DevmodeEditAndCommit);

} // namespace

BENCHMARK_MAIN();
