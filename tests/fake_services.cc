#include "tests/fake_services.h"

namespace launcher {
void FakeServices::FailOn(const std::string& operation, int nth) { failing_call_[operation] = nth; }

std::vector<std::string> FakeServices::CallsOf(const std::string& operation) const {
  std::vector<std::string> result;
  for (const std::string& call : calls) {
    if (call.compare(0, operation.size() + 1, operation + " ") == 0) result.push_back(call);
  }
  return result;
}

void FakeServices::Record(const std::string& operation, const std::string& detail,
                          const std::string& path) {
  calls.push_back(operation + " " + detail);
  const int count = ++call_count_[operation];
  const auto failing = failing_call_.find(operation);
  if (failing != failing_call_.end() && (failing->second == 0 || failing->second == count)) {
    throw ServiceError(operation, path, "injected failure");
  }
  FailIfHeld(held_calls, operation, operation, path);
}

std::string FakeServices::ApplicationDirectory() {
  Record("ApplicationDirectory", "", "");
  return application_directory;
}

bool FakeServices::FileExists(const std::string& path) {
  Record("FileExists", path, path);
  const auto file = files.find(path);
  return file != files.end() && !file->second.folder;
}

std::string FakeServices::GetFileVersion(const std::string& path) {
  Record("GetFileVersion", path, path);
  const auto file = files.find(path);
  if (file == files.end()) throw ServiceError("GetFileVersion", path, "file not found");
  if (file->second.folder) throw ServiceError("GetFileVersion", path, "a folder");
  return file->second.version;
}

void FakeServices::HoldFolder(const std::string& folder) {
  Record("HoldFolder", folder, folder);
  if (links.count(folder) != 0) throw ServiceError("HoldFolder", folder, "a link");
}

void FakeServices::RemoveStaleTemporaries(const std::string& copy_path) {
  calls.push_back("RemoveStaleTemporaries " + copy_path);
}

std::string FakeServices::SystemPath(const std::string& path) { return path; }

void FakeServices::CheckStartable(const std::string& program_path) {
  Record("CheckStartable", program_path, program_path);
  RequireStartablePath(program_path);
}

TaskId FakeServices::StartProgram(const std::string& program_path, int show_state) {
  Record("StartProgram", program_path + " show " + std::to_string(show_state), program_path);
  RequireStartablePath(program_path);
  if (files.count(program_path) == 0 || unstartable.count(program_path) != 0) {
    throw ServiceError("StartProgram", program_path, "cannot start");
  }
  started.push_back(program_path);
  return static_cast<TaskId>(started.size());
}

void FakeServices::LoadWindowIcon(const std::string& path) {
  Record("LoadWindowIcon", path, path);
  RequireIcon(path);
}

void FakeServices::CheckWindowIcon(const std::string& path) {
  Record("CheckWindowIcon", path, path);
  RequireIcon(path);
}

void FakeServices::RequireIcon(const std::string& path) const {
  if (files.count(path) == 0) throw ServiceError("LoadWindowIcon", path, "file not found");
  if (icons_well_formed.count(path) == 0) throw ServiceError("LoadWindowIcon", path, "not an icon");
}

void FakeServices::RequireStartablePath(const std::string& program_path) const {
  if (paths_too_long.count(program_path) != 0) {
    throw ServiceError("StartProgram", program_path, "the path is too long to start");
  }
}

void FakeServices::Report(const std::string& line) { reports.push_back(line); }

void FakeServices::Pause(int milliseconds) { MemoryDisk::Pause(milliseconds); }

void FakeServices::EndProcess(int status) {
  calls.push_back("EndProcess " + std::to_string(status));
  throw ProcessEnded{status};
}

}  // namespace launcher
