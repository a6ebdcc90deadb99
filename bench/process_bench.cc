// Whole-process benchmarks, each measured side by side with its reference in one run:
//   process_bench start LAUNCHER ICON ROUNDS
//     a start through the launcher with nothing to copy, against starting the program directly
//   process_bench replace REPLACE_ONCE PROGRAM FOLDER SIZE_MIB ROUNDS
//     one crash-safe replacement of a copy of PROGRAM padded to SIZE_MIB, against cp of the same
//     file followed by sync of it

#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

struct Run {
  double milliseconds;
  long peak_kib;
};

// Runs `argv` with its standard output on a pipe and waits until every process holding the pipe
// has ended: the launcher ends at once, the program it started holds the pipe until it ends.
Run Measure(const std::vector<std::string>& argv) {
  int pipe_ends[2];
  if (::pipe(pipe_ends) != 0) std::abort();
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipe_ends[1], STDOUT_FILENO);
  posix_spawn_file_actions_addclose(&actions, pipe_ends[0]);
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);

  const auto start = Clock::now();
  pid_t pid = 0;
  if (posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ) != 0) std::abort();
  ::close(pipe_ends[1]);
  char buffer[256];
  while (::read(pipe_ends[0], buffer, sizeof buffer) > 0) {
  }
  int status = 0;
  rusage usage{};
  ::wait4(pid, &status, 0, &usage);
  const auto end = Clock::now();
  ::close(pipe_ends[0]);
  posix_spawn_file_actions_destroy(&actions);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::fprintf(stderr, "%s ended with status %d\n", argv[0].c_str(), status);
    std::exit(1);
  }
  return {std::chrono::duration<double, std::milli>(end - start).count(), usage.ru_maxrss};
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

int Start(const std::string& launcher, const std::string& icon, int rounds) {
  const fs::path folder = fs::temp_directory_path() / "launcher-start-bench";
  fs::remove_all(folder);
  fs::create_directories(folder);
  fs::copy_file(launcher, folder / "launcher");
  fs::copy_file(icon, folder / "Ostra.ico");
  fs::copy_file("/bin/true", folder / "Norvik_Studio.exe");
  std::vector<double> direct, through_launcher;
  for (int i = 0; i < rounds; ++i) {
    direct.push_back(Measure({(folder / "Norvik_Studio.exe").string()}).milliseconds);
    through_launcher.push_back(Measure({(folder / "launcher").string()}).milliseconds);
  }
  const double a = Median(direct), b = Median(through_launcher);
  std::printf(
      "start, %d rounds: program directly %.3f ms, through the launcher %.3f ms (median); "
      "the launcher adds %.3f ms, ratio %.2f\n",
      rounds, a, b, b - a, b / a);
  fs::remove_all(folder);
  return 0;
}

int Replace(const std::string& replace_once, const std::string& program, const fs::path& folder,
            int size_mib, int rounds) {
  fs::create_directories(folder);
  const fs::path source = folder / "new.exe", destination = folder / "Norvik_Studio.exe",
                 copied = folder / "copied.exe";
  // A whole program image followed by data, as a large release is.
  const std::string make = "{ cat '" + program + "'; head -c " + std::to_string(size_mib) +
                           "M /dev/urandom; } > '" + source.string() + "' && cp '" +
                           source.string() + "' '" + destination.string() + "'";
  if (std::system(make.c_str()) != 0) return 1;
  std::vector<double> ours, reference;
  long our_peak = 0, reference_peak = 0;
  for (int i = 0; i < rounds; ++i) {
    const Run replaced = Measure({replace_once, source.string(), destination.string()});
    const Run cp = Measure({"/bin/sh", "-c",
                            "cp '" + source.string() + "' '" + copied.string() + "' && sync '" +
                                copied.string() + "'"});
    ours.push_back(replaced.milliseconds);
    reference.push_back(cp.milliseconds);
    our_peak = std::max(our_peak, replaced.peak_kib);
    reference_peak = std::max(reference_peak, cp.peak_kib);
    fs::remove(copied);
  }
  const double a = Median(reference), b = Median(ours);
  std::printf(
      "replace %d MiB, %d rounds: cp + sync %.0f ms, launcher's replacement %.0f ms "
      "(median), ratio %.2f; peak memory %ld KiB (cp: %ld KiB)\n",
      size_mib, rounds, a, b, b / a, our_peak, reference_peak);
  fs::remove_all(folder);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  if (args.size() == 4 && args[0] == "start") return Start(args[1], args[2], std::stoi(args[3]));
  if (args.size() == 6 && args[0] == "replace") {
    return Replace(args[1], args[2], args[3], std::stoi(args[4]), std::stoi(args[5]));
  }
  std::fprintf(stderr,
               "usage: process_bench start LAUNCHER ICON ROUNDS\n"
               "       process_bench replace REPLACE_ONCE PROGRAM FOLDER SIZE_MIB ROUNDS\n");
  return 2;
}
