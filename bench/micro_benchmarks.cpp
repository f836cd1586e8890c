#include "micro_benchmarks.h"

#include "hid/dfu_device.h"
#include "image/prepare.h"
#include "in_process.h"
#include "protocol/crc32.h"
#include "protocol/firmware_image.h"
#include "protocol/replies.h"
#include "protocol/reports.h"
#include "sample_data.h"
#include "sim/device_emulator.h"
#include "sim/sim_hid_bus.h"
#include "stats.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <fstream>
#include <memory>

namespace vumo::bench {

namespace {

constexpr std::size_t kFullImage = image::kMaxImageBytes;  // 131,071 bytes: 1024 blocks

std::string g_binaryPath;
std::string g_hexPath;

void BM_BlockCrc32(benchmark::State& state) {
    const auto block = SampleImage(protocol::kBlockSize);
    for (auto _ : state) benchmark::DoNotOptimize(protocol::BlockCrc32(block));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(protocol::kBlockSize));
}

void BM_ComputeBlockCrcs(benchmark::State& state) {
    auto image = std::make_unique<protocol::FirmwareImage>();
    image::CommitImage(SampleImage(kFullImage), *image);
    for (auto _ : state) {
        image->ComputeBlockCrcs();
        benchmark::DoNotOptimize(image->blockCrc.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(protocol::kImageCapacity));
}

// Each of the six replies, and a report that passes no test (what noise looks like).
void BM_MatchReply(benchmark::State& state, int kind) {
    std::vector<std::uint8_t> report(protocol::kInputReportLength, 0);
    if (kind < sim::kReplyKinds) {
        report = sim::BuildReply(static_cast<sim::Reply>(kind));
        report.resize(protocol::kInputReportLength, 0);
    }
    for (auto _ : state) {
        benchmark::DoNotOptimize(report.data());
        benchmark::DoNotOptimize(protocol::MatchReply(report));
    }
}

// The listener's whole share of a reply: match it and set its flag (which wakes any waiter).
void BM_ParseReply(benchmark::State& state) {
    sim::SimHidBus bus;
    hid::DfuDevice dfu(bus);
    auto report = sim::BuildReply(sim::Reply::image);
    report.resize(protocol::kInputReportLength, 0);
    for (auto _ : state) {
        dfu.ParseReply(report);
        benchmark::DoNotOptimize(dfu.flags().Get(protocol::Flag::image));
    }
}

void LoadFile(benchmark::State& state, const std::string& path) {
    for (auto _ : state) {
        const auto loaded = image::LoadImageFile(path);
        if (loaded.failure != image::PrepareFailure::none) {
            state.SkipWithError(("loading failed: " + loaded.text).c_str());
            break;
        }
        benchmark::DoNotOptimize(loaded.bytes.data());
    }
}

void BM_LoadImageFile(benchmark::State& state, bool hex) {
    LoadFile(state, hex ? g_hexPath : g_binaryPath);
}

void BM_CommitImage(benchmark::State& state) {
    const auto bytes = SampleImage(kFullImage);
    auto image = std::make_unique<protocol::FirmwareImage>();
    for (auto _ : state) {
        image::CommitImage(bytes, *image);
        benchmark::ClobberMemory();
    }
}

// The first stage without the checksum tool's run: read the file, fill the 1024 blocks,
// compute their CRCs.
void BM_LoadAndCommitImage(benchmark::State& state, bool hex) {
    const std::string& path = hex ? g_hexPath : g_binaryPath;
    auto image = std::make_unique<protocol::FirmwareImage>();
    for (auto _ : state) {
        const auto loaded = image::LoadImageFile(path);
        if (loaded.failure != image::PrepareFailure::none) {
            state.SkipWithError(("loading failed: " + loaded.text).c_str());
            break;
        }
        image::CommitImage(loaded.bytes, *image);
        benchmark::ClobberMemory();
    }
}

// A whole 1024-block update in this process with the fixed pauses counted, not made: what is
// left is our own work and the threads' hand-overs. Counters: each turn of the conversation,
// reply out of the transport -> next report into it (median, p99), in microseconds.
void BM_UpdateConversation(benchmark::State& state, bool fromApplication, int replyDelayMs,
                           update::Pacing pacing) {
    const auto bytes = SampleImage(kFullImage);
    TurnTimings turns;
    double pausesMs = 0;
    for (auto _ : state) {
        const auto run = RunCountedUpdate(fromApplication, bytes, &turns,
                                          std::chrono::milliseconds(replyDelayMs), pacing);
        if (!run.ok) {
            state.SkipWithError(run.error.c_str());
            return;
        }
        state.SetIterationTime(std::chrono::duration<double>(run.elapsed).count());
        pausesMs = static_cast<double>(run.pauses.count());
    }
    state.counters["turns"] = static_cast<double>(turns.fromTransport.size());
    state.counters["turn_median_us"] = Median(turns.fromTransport);
    state.counters["turn_p99_us"] = Percentile(turns.fromTransport, 99);
    state.counters["turn_max_us"] = Maximum(turns.fromTransport);
    state.counters["from_device_median_us"] = Median(turns.fromDevice);
    state.counters["from_device_p99_us"] = Percentile(turns.fromDevice, 99);
    state.counters["pauses_ms"] = pausesMs;
}

bool WriteFile(const std::string& path, const void* data, std::size_t size) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
    return static_cast<bool>(out);
}

}  // namespace

void RegisterBenchmarks(bool shortMode, const std::string& scratch) {
    const auto bytes = SampleImage(kFullImage);
    g_binaryPath = scratch + "/image.bin";
    g_hexPath = scratch + "/image.hex";
    const std::string hex = IntelHex(bytes, 0x1A020000);
    WriteFile(g_binaryPath, bytes.data(), bytes.size());
    WriteFile(g_hexPath, hex.data(), hex.size());

    const auto tune = [shortMode](benchmark::internal::Benchmark* b) {
        if (shortMode) b->Iterations(1);
        return b;
    };
    tune(benchmark::RegisterBenchmark("BM_BlockCrc32", BM_BlockCrc32));
    tune(benchmark::RegisterBenchmark("BM_ComputeBlockCrcs", BM_ComputeBlockCrcs))
        ->Unit(benchmark::kMicrosecond);
    static const char* const kReplyNames[] = {"READY", "LOCAT", "SIZE", "START",
                                              "END",   "IMAGE", "noise"};
    for (int i = 0; i <= sim::kReplyKinds; ++i)
        tune(benchmark::RegisterBenchmark((std::string("BM_MatchReply/") + kReplyNames[i]).c_str(),
                                          BM_MatchReply, i));
    tune(benchmark::RegisterBenchmark("BM_ParseReply/IMAGE", BM_ParseReply));
    for (const bool hexFile : {false, true}) {
        const std::string kind = hexFile ? "/hex" : "/bin";
        tune(benchmark::RegisterBenchmark(("BM_LoadImageFile" + kind).c_str(), BM_LoadImageFile,
                                          hexFile))
            ->Unit(benchmark::kMicrosecond);
        tune(benchmark::RegisterBenchmark(("BM_LoadAndCommitImage" + kind).c_str(),
                                          BM_LoadAndCommitImage, hexFile))
            ->Unit(benchmark::kMicrosecond);
    }
    tune(benchmark::RegisterBenchmark("BM_CommitImage", BM_CommitImage))
        ->Unit(benchmark::kMicrosecond);
    // The device answers after 1 ms, as a USB device does at the earliest: the worker is always
    // asleep when the reply comes, so each turn includes its wake-up.
    using update::Pacing;
    benchmark::RegisterBenchmark(kConversationCase, BM_UpdateConversation, false, 1,
                                 Pacing::standard)
        ->Iterations(shortMode ? 1 : 5)
        ->Repetitions(1)
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond);
    // The device answers at once, often before the worker has begun to wait.
    benchmark::RegisterBenchmark(kConversationNoDelayCase, BM_UpdateConversation, false, 0,
                                 Pacing::standard)
        ->Iterations(shortMode ? 1 : 5)
        ->Repetitions(1)
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("BM_UpdateConversation/application_mode", BM_UpdateConversation,
                                 true, 0, Pacing::standard)
        ->Iterations(shortMode ? 1 : 3)
        ->Repetitions(1)
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond);
    // Fast pacing: no pause is asked for, so the real time is the conversation itself at the
    // device's pace (1 ms an answer).
    benchmark::RegisterBenchmark("BM_UpdateConversation/update_mode/reply_delay_1ms/fast",
                                 BM_UpdateConversation, false, 1, Pacing::fast)
        ->Iterations(shortMode ? 1 : 5)
        ->Repetitions(1)
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond);
}

}  // namespace vumo::bench
