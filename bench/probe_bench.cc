// Probing a copy costs the same whatever its size: time and bytes read for a 100 KiB and a
// 512 MiB PE file with the same headers and resources.

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "core/pe/pe_version_reader.h"
#include "os/posix/posix_file.h"
#include "tests/counting_file.h"

namespace launcher {
namespace {

namespace fs = std::filesystem;

// A real PE fixture grown to `size` bytes with written (not sparse) data after the image.
fs::path CopyOfSize(std::uintmax_t size) {
  const fs::path path =
      fs::temp_directory_path() / ("probe-bench-" + std::to_string(size) + ".exe");
  fs::copy_file(std::string(FIXTURE_DIR) + "/managed_1_0_0_7.exe", path,
                fs::copy_options::overwrite_existing);
  const std::string command = "head -c " + std::to_string(size - fs::file_size(path)) +
                              " /dev/urandom >> '" + path.string() + "'";
  if (std::system(command.c_str()) != 0) std::abort();
  return path;
}

void BM_ProbeCopy(benchmark::State& state) {
  const fs::path path = CopyOfSize(static_cast<std::uintmax_t>(state.range(0)) * 1024);
  std::uint64_t bytes_read = 0;
  for (auto _ : state) {
    PosixFile copy(path.string(), "GetFileVersion");
    CountingFile file(copy);
    benchmark::DoNotOptimize(ReadPeFileVersion(file));
    bytes_read = file.bytes_read;
  }
  state.counters["bytes_read"] = static_cast<double>(bytes_read);
  fs::remove(path);
}
BENCHMARK(BM_ProbeCopy)->Arg(100)->Arg(512L * 1024)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace launcher

BENCHMARK_MAIN();
