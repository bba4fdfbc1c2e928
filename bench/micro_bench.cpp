// Micro benchmarks of the code on the per-byte and per-cycle paths.

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <filesystem>
#include <string>

#include "log/logger.h"
#include "protocol/codes.h"
#include "protocol/frame.h"
#include "protocol/response_assembler.h"
#include "protocol/state_text.h"

namespace notavero {
namespace {

void BM_Crc16(benchmark::State& state) {
  std::array<uint8_t, kMaxFrameLength> data{};
  for (std::size_t i = 0; i < data.size(); ++i) {
    data[i] = static_cast<uint8_t>(i * 7);
  }
  const auto count = static_cast<std::size_t>(state.range(0));
  for (auto _ : state) {
    benchmark::DoNotOptimize(Crc16(data.data(), count));
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_Crc16)->Arg(4)->Arg(123)->Arg(253);

void BM_BuildFrame(benchmark::State& state) {
  const std::array<uint8_t, 7> payload = {0x34, 0, 0, 0xFC, 0, 0, 0xFC};
  TxFrame frame{};
  for (auto _ : state) {
    benchmark::DoNotOptimize(BuildFrame(frame, payload.data(), payload.size()));
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_BuildFrame);

// A reply frame fed byte by byte, as the event thread does.
void BM_AssemblerFeed(benchmark::State& state) {
  std::array<uint8_t, kBillTableFrameLength - kFrameOverhead> payload{};
  const auto n = static_cast<std::size_t>(state.range(0));
  payload[0] = 0x80;
  payload[1] = 2;
  TxFrame frame{};
  const std::size_t length = BuildFrame(frame, payload.data(), n);
  TResponseAssembler rx;
  for (auto _ : state) {
    rx.Restart();
    rx.RxLength = 0;
    for (std::size_t i = 0; i < length; ++i) {
      benchmark::DoNotOptimize(rx.Feed(frame[i]));
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * length));
}
BENCHMARK(BM_AssemblerFeed)->Arg(2)->Arg(120);

// Every status word once per iteration.
void BM_StateToTextAllWords(benchmark::State& state) {
  for (auto _ : state) {
    for (uint32_t word = 0; word <= 0xFFFF; ++word) {
      benchmark::DoNotOptimize(StateToText(static_cast<uint16_t>(word)));
    }
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * 0x10000);
}
BENCHMARK(BM_StateToTextAllWords)->Unit(benchmark::kMillisecond);

// One cycle's log line: rotation check, open, write, close.
void BM_LogWrite(benchmark::State& state) {
  const auto dir =
      std::filesystem::temp_directory_path() / ("notavero-bench-log-" + std::to_string(::getpid()));
  std::filesystem::remove_all(dir);
  LogInit((dir / "Notavero.log").string());
  const std::string line = "Cycle: 14-00. waiting for a bill";
  for (auto _ : state) {
    LogWrite(LogLevel::kInfo, line);
  }
  std::filesystem::remove_all(dir);
}
BENCHMARK(BM_LogWrite)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace notavero

BENCHMARK_MAIN();
