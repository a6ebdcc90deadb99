#pragma once

#include <map>
#include <set>
#include <string>
#include <vector>

#include "launch/services.h"
#include "tests/memory_disk.h"

namespace launcher {

// Thrown by FakeServices::EndProcess so a test can see where the run ended. Not a std::exception,
// so the run's fallback cannot swallow it.
struct ProcessEnded {
  int status;
};

// In-memory services over a MemoryDisk, which are also the run's replacement steps: a recorder of
// every call, and a failure that can be injected at any call of any operation.
class FakeServices : public Services, public MemoryDisk {
 public:
  using File = MemoryDiskFile;

  std::string application_directory = "C:\\Apps\\Norvik";
  std::set<std::string> links;              // HoldFolder fails for these folders
  std::set<std::string> unstartable;        // StartProgram fails for these paths
  std::set<std::string> paths_too_long;     // CheckStartable and StartProgram fail for these
  std::set<std::string> icons_well_formed;  // LoadWindowIcon fails for any other existing file
  std::map<std::string, int> held_calls;    // an operation here fails as held this many times more

  // Every call in order, as "Operation path".
  std::vector<std::string> calls;
  std::vector<std::string> started;
  std::vector<std::string> reports;  // the lines of Report

  // Makes the `nth` (1-based) call of `operation` fail; 0 makes every call fail.
  void FailOn(const std::string& operation, int nth = 0);

  // Calls of one operation, in order.
  std::vector<std::string> CallsOf(const std::string& operation) const;

  std::string ApplicationDirectory() override;
  bool FileExists(const std::string& path) override;
  std::string GetFileVersion(const std::string& path) override;
  void HoldFolder(const std::string& folder) override;
  // The path itself.
  std::string SystemPath(const std::string& path) override;
  // Recorded among the calls; removes nothing.
  void RemoveStaleTemporaries(const std::string& copy_path) override;
  void CheckStartable(const std::string& program_path) override;
  TaskId StartProgram(const std::string& program_path, int show_state) override;
  void LoadWindowIcon(const std::string& path) override;
  void CheckWindowIcon(const std::string& path) override;
  void Report(const std::string& line) override;
  // Recorded in `pauses`, for the services' waits and the replacement's alike.
  void Pause(int milliseconds) override;
  [[noreturn]] void EndProcess(int status) override;

 private:
  void Record(const std::string& operation, const std::string& detail, const std::string& path);
  // What LoadWindowIcon and CheckWindowIcon, and StartProgram and CheckStartable, fail with alike.
  void RequireIcon(const std::string& path) const;
  void RequireStartablePath(const std::string& program_path) const;

  std::map<std::string, int> failing_call_;
  std::map<std::string, int> call_count_;
};

}  // namespace launcher
