// Packed strings against raw zlib at level 9 on the same data: PackString
// vs compress2 and UnpackString vs uncompress, on 200 KB of receipt-like text
// and on a 10 MB binary. Prints MB/s (10^6 bytes of unpacked data per
// second) and, at the end, how much slower the packed-string layer is, from
// the fastest CPU time of five runs of each case. First, a forged header
// claiming 2 GB is refused: its time and the process's peak memory.
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "files/crc32.h"
#include "files/pack.h"

namespace {

std::string ReceiptText(std::size_t size) {
  static const char* const kGoods[] = {"Coffee",     "Milk 3.2%",   "Bread, rye", "Sugar 1 kg",
                                       "Tea, green", "Water 0.5 l", "Chocolate"};
  std::mt19937 generator(1);
  std::string text;
  for (int receipt = 1; text.size() < size; ++receipt) {
    text += "RECEIPT No " + std::to_string(receipt) + "\r\nCASHIER Ivanova\r\n";
    int total = 0;
    for (int line = 0, lines = 1 + static_cast<int>(generator() % 12); line < lines; ++line) {
      const int price = 100 + static_cast<int>(generator() % 90000);
      const int quantity = 1 + static_cast<int>(generator() % 5);
      total += price * quantity;
      text += std::string(kGoods[generator() % 7]) + " " + std::to_string(quantity) + " x " +
              std::to_string(price / 100) + "." + std::to_string(price % 100) + "\r\n";
    }
    text += "TOTAL =" + std::to_string(total / 100) + "." + std::to_string(total % 100) +
            "\r\nVAT 20%\r\n\r\n";
  }
  text.resize(size);
  return text;
}

// Something like a program file: records of small numbers and counters,
// runs of zeros, and stretches of noise.
std::string Binary(std::size_t size) {
  std::mt19937 generator(2);
  std::string bytes;
  bytes.reserve(size);
  for (std::uint32_t record = 0; bytes.size() < size; ++record) {
    for (int i = 0; i < 4; ++i)
      bytes.push_back(static_cast<char>(record >> (8 * i)));
    for (int i = 0; i < 12; ++i)
      bytes.push_back(static_cast<char>(generator() % 16));
    bytes.append(generator() % 16, '\0');
    for (unsigned i = 0, noise = generator() % 24; i < noise; ++i)
      bytes.push_back(static_cast<char>(generator()));
  }
  bytes.resize(size);
  return bytes;
}

const std::string& Data(int which) {
  static const std::string text = ReceiptText(200 * 1000);
  static const std::string binary = Binary(10 * 1000 * 1000);
  return which == 0 ? text : binary;
}

void Finish(benchmark::State& state, const std::string& data) {
  const double bytes = static_cast<double>(state.iterations()) * static_cast<double>(data.size());
  state.counters["MB/s"] = benchmark::Counter(bytes / 1e6, benchmark::Counter::kIsRate);
  state.SetLabel(state.range(0) == 0 ? "text 200 KB" : "binary 10 MB");
}

std::string RawCompress(const std::string& data) {
  uLongf size = compressBound(static_cast<uLong>(data.size()));
  std::string out(size, '\0');
  compress2(reinterpret_cast<Bytef*>(out.data()), &size,
            reinterpret_cast<const Bytef*>(data.data()), static_cast<uLong>(data.size()), 9);
  out.resize(size);
  return out;
}

void BM_PackString(benchmark::State& state) {
  const std::string& data = Data(static_cast<int>(state.range(0)));
  for (auto _ : state)
    benchmark::DoNotOptimize(kestrel::PackString(data));
  Finish(state, data);
}

void BM_RawCompress2(benchmark::State& state) {
  const std::string& data = Data(static_cast<int>(state.range(0)));
  for (auto _ : state)
    benchmark::DoNotOptimize(RawCompress(data));
  Finish(state, data);
}

void BM_UnpackString(benchmark::State& state) {
  const std::string& data = Data(static_cast<int>(state.range(0)));
  const std::string packed = kestrel::PackString(data);
  if (kestrel::UnpackString(packed) != data)
    state.SkipWithError("round trip lost data");
  for (auto _ : state)
    benchmark::DoNotOptimize(kestrel::UnpackString(packed));
  Finish(state, data);
}

void BM_RawUncompress(benchmark::State& state) {
  const std::string& data = Data(static_cast<int>(state.range(0)));
  const std::string compressed = RawCompress(data);
  for (auto _ : state) {
    uLongf size = static_cast<uLongf>(data.size());
    std::string out(size, '\0');
    uncompress(reinterpret_cast<Bytef*>(out.data()), &size,
               reinterpret_cast<const Bytef*>(compressed.data()),
               static_cast<uLong>(compressed.size()));
    benchmark::DoNotOptimize(out);
  }
  Finish(state, data);
}

// The process's peak resident memory so far ("VmHWM" of /proc/self/status).
double PeakMemoryKiB() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.starts_with("VmHWM:"))
      return std::stod(line.substr(6));
  }
  return 0;
}

// A packed string whose header claims 2 147 418 112 bytes, with a stream of
// zeros and a right trailer: refused by its length before anything is
// inflated. It runs first, so that the process's peak memory is its own.
void BM_RefuseZeroBomb(benchmark::State& state) {
  const std::string zeros = kestrel::PackString(std::string(1 << 20, '\0'));
  std::string bomb =
      std::string("\x00\x00\xFF\x7F\0\0\0\0", 8) + zeros.substr(8, zeros.size() - 12);
  const auto crc = static_cast<std::uint32_t>(kestrel::CalcCRC32(bomb));
  for (int shift = 0; shift < 32; shift += 8)
    bomb.push_back(static_cast<char>((crc >> shift) & 0xFF));
  for (auto _ : state) {
    try {
      kestrel::UnpackString(bomb);
      state.SkipWithError("the bomb was unpacked");
    } catch (const kestrel::EZIPerror&) {
    }
  }
  state.counters["peak_rss_MiB"] = PeakMemoryKiB() / 1024;
}

double Fastest(const std::vector<double>& values) {
  return *std::min_element(values.begin(), values.end());
}

// The machine is shared, so each case runs five times and the ratios compare
// the fastest CPU times, which other load disturbs least.
void Configure(benchmark::internal::Benchmark* b) {
  b->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->Repetitions(5);
  b->ComputeStatistics("min", Fastest)->ReportAggregatesOnly(true);
}

BENCHMARK(BM_RefuseZeroBomb)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_PackString)->Apply(Configure);
BENCHMARK(BM_RawCompress2)->Apply(Configure);
BENCHMARK(BM_UnpackString)->Apply(Configure);
BENCHMARK(BM_RawUncompress)->Apply(Configure);

// Prints as usual and remembers the fastest CPU time of each case, for the
// summary at the end.
class SummaryReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "min" && !run.error_occurred)
        seconds_[run.run_name.function_name + "/" + run.run_name.args] =
            run.GetAdjustedCPUTime() / 1000.0;
    }
  }

  // One line per data set: MB/s of the packed-string layer and of raw zlib,
  // and how much more time the layer takes.
  void PrintComparison(const std::string& layer, const std::string& raw) const {
    for (const int which : {0, 1}) {
      const std::string arg = which == 0 ? "/0" : "/1";
      const auto ours = seconds_.find(layer + arg);
      const auto theirs = seconds_.find(raw + arg);
      if (ours == seconds_.end() || theirs == seconds_.end())
        continue;
      const double megabytes = static_cast<double>(Data(which).size()) / 1e6;
      const double ratio = ours->second / theirs->second;
      std::printf("%-16s %-12s %8.1f MB/s  %-16s %8.1f MB/s  overhead %+.1f%% (target <= +5%%)\n",
                  layer.c_str() + 3, which == 0 ? "text 200 KB" : "binary 10 MB",
                  megabytes / ours->second, raw.c_str() + 3, megabytes / theirs->second,
                  (ratio - 1) * 100);
    }
  }

 private:
  std::map<std::string, double> seconds_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  SummaryReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  std::printf("\nFastest of five runs, CPU time:\n");
  reporter.PrintComparison("BM_PackString", "BM_RawCompress2");
  reporter.PrintComparison("BM_UnpackString", "BM_RawUncompress");
  benchmark::Shutdown();
  return 0;
}
