// The Win32 services on real files under Wine, for what the launcher's scenarios do not reach:
//   win32_services_check FOLDER [LINK]
// FOLDER: a Windows folder to work in, empty but for LINK: the name of a link in it to another
// folder (as Wine shows a Unix symbolic link to a folder), made by the caller.
// Prints each failed check and ends with the number of failures as its status.

#include <windows.h>

#include <cstdio>
#include <memory>
#include <string>

#include "core/hold_retry.h"
#include "launch/services.h"
#include "os/win32/win32_replace_steps.h"
#include "os/win32/win32_services.h"

namespace {

int failures = 0;

void Check(bool ok, const std::string& what) {
  if (!ok) {
    std::printf("FAILED: %s\n", what.c_str());
    ++failures;
  }
}

// The system text of the ServiceError `operation` throws; empty when it throws none.
template <typename Operation>
std::string FailureOf(Operation operation) {
  try {
    operation();
  } catch (const launcher::ServiceError& failure) {
    return failure.system_text().empty() ? "(no text)" : failure.system_text();
  }
  return {};
}

template <typename Operation>
bool Fails(Operation operation) {
  return !FailureOf(operation).empty();
}

bool Has(const std::string& text, const char* part) { return text.find(part) != std::string::npos; }

void Write(const std::string& path, const char* text) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  std::fputs(text, file);
  std::fclose(file);
}

std::string Contents(const std::string& path) {
  std::string contents;
  if (std::FILE* file = std::fopen(path.c_str(), "rb")) {
    char buffer[4096];
    for (std::size_t got; (got = std::fread(buffer, 1, sizeof buffer, file)) > 0;) {
      contents.append(buffer, got);
    }
    std::fclose(file);
  }
  return contents;
}

bool Exists(const std::string& path) {
  return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

int TemporariesIn(const std::string& folder) {
  WIN32_FIND_DATAA found;
  const HANDLE search = FindFirstFileA((folder + "\\~*.tmp").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return 0;
  int count = 0;
  do {
    ++count;
  } while (FindNextFileA(search, &found));
  FindClose(search);
  return count;
}

// Gives the same answers whatever the versions (by default: take every copy); notes how many
// temporaries lay beside the destination once the copy was written (-1: it never was).
class AcceptAll : public launcher::CopyCheck {
 public:
  explicit AcceptAll(std::string folder, bool chosen = true, bool older = true)
      : folder_(std::move(folder)), chosen_(chosen), older_(older) {}
  bool IsChosenCopy(const std::string& /*version_text*/) const override {
    temporaries_when_written = TemporariesIn(folder_);
    return chosen_;
  }
  bool IsOlder(const std::string& /*version_text*/) const override { return older_; }
  bool LeavesCutDestination() const override { return false; }
  bool PinsOnlyTrustedSignature() const override { return false; }

  mutable int temporaries_when_written = -1;

 private:
  std::string folder_;
  bool chosen_;
  bool older_;
};

// One replacement with a budget of waits of its own.
bool FileCopy(launcher::Win32Services& services, const std::string& source,
              const std::string& destination, const launcher::CopyCheck& check) {
  launcher::HoldRetry retry([&services](int milliseconds) { services.Pause(milliseconds); });
  return services.FileCopy(source, destination, check, retry);
}

// Whether FileCopy replaced `destination`; a failure is printed and counts as false.
bool Copies(launcher::Win32Services& services, const std::string& source,
            const std::string& destination, const launcher::CopyCheck& check) {
  bool copied = false;
  const std::string failure =
      FailureOf([&] { copied = FileCopy(services, source, destination, check); });
  if (!failure.empty()) std::printf("FileCopy failed: %s\n", failure.c_str());
  return copied;
}

void SetWriteTime(const std::string& path, long long seconds_from_now) {
  const HANDLE file = CreateFileA(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, 0, nullptr);
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  ULARGE_INTEGER ticks{};
  ticks.LowPart = now.dwLowDateTime;
  ticks.HighPart = now.dwHighDateTime;
  ticks.QuadPart += static_cast<unsigned long long>(seconds_from_now * 10000000LL);
  const FILETIME written{ticks.LowPart, ticks.HighPart};
  SetFileTime(file, nullptr, nullptr, &written);
  CloseHandle(file);
}

void CheckCopies(launcher::Win32Services& services, const std::string& folder,
                 const std::string& program) {
  const std::string copy = folder + "\\copy.exe";
  AcceptAll written(folder);
  Check(Copies(services, program, copy, written), "a program is copied");
  Check(Contents(copy) == Contents(program), "the copy is the whole program");
  Check(written.temporaries_when_written == 1, "the copy is written beside the destination");
  Check(TemporariesIn(folder) == 0, "no temporary remains after a copy");

  // A written copy that is not taken is removed through its open handle.
  const struct {
    bool chosen;
    bool older;
    const char* what;
  } declined[] = {{false, true, "another version than chosen"}, {true, false, "no longer older"}};
  for (const auto& answers : declined) {
    const std::string kept = folder + "\\kept.exe";
    Write(kept, "old");
    AcceptAll check(folder, answers.chosen, answers.older);
    bool copied = false;
    const std::string failure =
        FailureOf([&] { copied = FileCopy(services, program, kept, check); });
    Check(!copied && failure.empty() == answers.chosen, std::string(answers.what) + ": " + failure);
    Check(check.temporaries_when_written == 1 && TemporariesIn(folder) == 0 &&
              Contents(kept) == "old",
          std::string(answers.what) + ": the copy is written, then removed, the file kept");
  }

  const std::string named_folder = folder + "\\Norvik_Studio.exe";
  CreateDirectoryA(named_folder.c_str(), nullptr);
  AcceptAll refused(folder);
  Check(Has(FailureOf([&] { FileCopy(services, program, named_folder, refused); }),
            "not a regular file"),
        "a folder named like the destination is refused");
  Check(refused.temporaries_when_written == -1, "before any copy is written");

  // Another handle writing the source: the copy must not even start.
  const HANDLE writer = CreateFileA(program.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
  Check(writer != INVALID_HANDLE_VALUE, "the source can be opened for writing");
  const std::string busy = folder + "\\busy.exe";
  AcceptAll busy_check(folder);
  const std::string failure = FailureOf([&] { FileCopy(services, program, busy, busy_check); });
  CloseHandle(writer);
  Check(Has(failure, "(error 32)"),
        "a source open for writing fails, sharing violation: " + failure);
  Check(busy_check.temporaries_when_written == -1 && !Exists(busy) && TemporariesIn(folder) == 0,
        "and nothing is written");
}

// Once written, the copy is open without write access but still denies writers: a reader that
// denies writing itself can open it (it could not while a handle with write access is open), a
// writer cannot.
void CheckNoWriterOnTheWrittenCopy(const std::string& folder, const std::string& program) {
  launcher::Win32HeldFolder held;
  launcher::Win32ReplaceSteps steps(held);
  const std::unique_ptr<launcher::SourceFile> source = steps.OpenSource(program);
  std::unique_ptr<launcher::TemporaryCopy> copy = steps.CreateTemporary(folder + "\\sealed.exe");
  copy->CopyFrom(*source);
  copy->CloseForWriting();
  WIN32_FIND_DATAA found;
  const HANDLE search = FindFirstFileA((folder + "\\~sealed.exe.*.tmp").c_str(), &found);
  Check(search != INVALID_HANDLE_VALUE, "the written copy is there");
  if (search == INVALID_HANDLE_VALUE) return copy->Discard();
  FindClose(search);
  const std::string path = folder + "\\" + found.cFileName;
  const HANDLE reader = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, 0, nullptr);
  Check(reader != INVALID_HANDLE_VALUE, "no handle with write access is left on the written copy");
  CloseHandle(reader);
  const HANDLE writer = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    nullptr, OPEN_EXISTING, 0, nullptr);
  Check(writer == INVALID_HANDLE_VALUE, "others are still denied writing it");
  if (writer != INVALID_HANDLE_VALUE) CloseHandle(writer);
  copy->MoveOver(folder + "\\sealed.exe");
  copy.reset();
  Check(Contents(folder + "\\sealed.exe") == Contents(program), "and it is moved whole");
}

// A copy's pin is read denying writers: it is not read at all while another handle writes it.
void CheckPinDeniesWriters(const std::string& program) {
  launcher::Win32HeldFolder held;
  launcher::Win32ReplaceSteps steps(held);
  const HANDLE writer =
      CreateFileA(program.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                  OPEN_EXISTING, 0, nullptr);
  Check(writer != INVALID_HANDLE_VALUE, "the program can be opened for writing");
  const std::string failure = FailureOf([&] { steps.PinningPublisher(program); });
  CloseHandle(writer);
  Check(Has(failure, "(error 32)"), "a pin is not read while it is written: " + failure);
  Check(!steps.PinningPublisher(program), "and an unsigned copy pins nothing");
}

void CheckStaleTemporaries(launcher::Win32Services& services, const std::string& folder) {
  const struct {
    const char* name;
    int seconds_from_now;
    bool removed;
  } temporaries[] = {
      {"~stale.exe.00000000000000aa.tmp", -2 * 60 * 60, true},
      {"~stale.exe.00000000000000bb.tmp", 2 * 60 * 60, true},  // the clock was set back
      {"~stale.exe.00000000000000cc.tmp", -60, true},
      {"~stale.exe.00000000000000ff.tmp", -60, true},        // read-only, below
      {"~stale.exe.00000000000000dd.tmp", 0, false},         // just closed by its writer
      {"~stale.exe.00000000000000ee.tmp", -60, false},       // held, as a copy under way
      {"~stale.exe.not-a-number.tmp", -2 * 60 * 60, false},  // not one of ours
  };
  for (const auto& temporary : temporaries) {
    Write(folder + "\\" + temporary.name, "x");
    SetWriteTime(folder + "\\" + temporary.name, temporary.seconds_from_now);
  }
  SetFileAttributesA((folder + "\\~stale.exe.00000000000000ff.tmp").c_str(),
                     FILE_ATTRIBUTE_READONLY);
  // As a launcher holds the copy it writes: others may read it, not delete it.
  const HANDLE writer =
      CreateFileA((folder + "\\~stale.exe.00000000000000ee.tmp").c_str(), GENERIC_WRITE | DELETE,
                  FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  Check(writer != INVALID_HANDLE_VALUE, "a temporary can be held");
  services.RemoveStaleTemporaries(folder + "\\stale.exe");
  CloseHandle(writer);
  for (const auto& temporary : temporaries) {
    Check(Exists(folder + "\\" + temporary.name) != temporary.removed,
          std::string(temporary.removed ? "removed: " : "kept: ") + temporary.name);
  }
}

void CheckHeldFolders(const std::string& folder, const std::string& program,
                      const std::string& link) {
  const std::string held = folder + "\\held";
  CreateDirectoryA(held.c_str(), nullptr);
  {
    launcher::Win32Services services(nullptr);
    services.HoldFolder(held);
    Check(!RemoveDirectoryA(held.c_str()), "a held folder cannot be removed");
    Check(!MoveFileA(held.c_str(), (folder + "\\moved").c_str()), "nor moved");
    AcceptAll check(held);
    Check(Copies(services, program, held + "\\copy.exe", check), "copying into it works");
    Check(services.FileExists(held + "\\copy.exe"), "and the copy is seen there");
  }
  Check(MoveFileA(held.c_str(), (folder + "\\moved").c_str()), "released when the services end");

  // Held while missing, then made: it stays missing for the services that held it.
  const std::string later = folder + "\\later\\deeper";
  launcher::Win32Services services(nullptr);
  services.HoldFolder(later);
  CreateDirectoryA((folder + "\\later").c_str(), nullptr);
  CreateDirectoryA(later.c_str(), nullptr);
  CopyFileA(program.c_str(), (later + "\\there.exe").c_str(), FALSE);
  Write(later + "\\~there.exe.00000000000000aa.tmp", "x");
  SetWriteTime(later + "\\~there.exe.00000000000000aa.tmp", -2 * 60 * 60);
  Check(!services.FileExists(later + "\\there.exe"), "no file in a folder held as missing");
  Check(Fails([&] { services.GetFileVersion(later + "\\there.exe"); }), "and no version");
  AcceptAll check(later);
  Check(Has(FailureOf([&] { FileCopy(services, program, later + "\\copy.exe", check); }),
            "does not exist"),
        "copying into a folder held as missing fails");
  Check(!Exists(later + "\\copy.exe"), "and writes nothing");
  services.RemoveStaleTemporaries(later + "\\there.exe");
  Check(Exists(later + "\\~there.exe.00000000000000aa.tmp"), "and nothing is removed there");

  Check(Has(FailureOf([&] { services.HoldFolder(folder + "\\plain.exe\\below"); }), "not a folder"),
        "a file on the way is no folder to hold");
  if (link.empty()) return;
  const std::string linked = folder + "\\" + link;
  for (const std::string& path : {linked, linked + "\\below"}) {
    Check(Has(FailureOf([&] { services.HoldFolder(path); }), "reparse point"),
          "a link on the way is refused: " + path);
  }
  launcher::Win32Services holding(nullptr);
  holding.HoldFolder(folder);
  Check(Has(FailureOf([&] { holding.FileExists(linked); }), "reparse point"),
        "a link in the held folder is no file");
  AcceptAll check_link(folder);
  Check(Has(FailureOf([&] { FileCopy(holding, program, linked, check_link); }), "not a regular"),
        "nor replaced");
  Check(check_link.temporaries_when_written == -1, "and no copy is written for it");
}

std::string ThisProgram() {
  char path[MAX_PATH];
  const DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
  return std::string(path, length);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2 && argc != 3) return 100;
  const std::string folder = argv[1];
  const std::string link = argc == 3 ? argv[2] : "";
  launcher::Win32Services services(nullptr);
  const std::string file = folder + "\\plain.exe";
  const std::string read_only = folder + "\\read only.exe";
  Write(file, "x");
  Write(read_only, "x");
  SetFileAttributesA(read_only.c_str(), FILE_ATTRIBUTE_READONLY);

  Check(services.FileExists(file), "a file exists");
  Check(!services.FileExists(folder), "a folder is not a file");
  Check(!services.FileExists(""), "the empty path is no file");
  Check(!services.FileExists(folder + "\\missing.exe"), "a missing file");
  Check(!services.FileExists(folder + "\\no folder\\missing.exe"), "a missing folder");

  Check(Fails([&] { services.DeleteFile(read_only, false); }), "read-only kept without force");
  Check(services.FileExists(read_only), "read-only file still there");
  services.DeleteFile(read_only, true);
  Check(!services.FileExists(read_only), "read-only file removed with force");
  Check(Fails([&] { services.DeleteFile(read_only, true); }), "deleting a missing file fails");

  Check(Fails([&] { services.GetFileVersion(folder); }), "a folder has no version to read");
  Check(Fails([&] { services.GetFileVersion(folder + "\\missing.exe"); }), "missing file");
  Check(services.GetFileVersion(file).empty(), "a file that is not a PE file has no version");

  Check(Fails([&] { services.LoadWindowIcon(file); }), "a text file is no icon");
  Check(services.ApplicationDirectory().back() != '\\', "no trailing separator");

  const std::string program = folder + "\\program.exe";
  CopyFileA(ThisProgram().c_str(), program.c_str(), FALSE);
  AcceptAll check(folder);
  Check(Fails([&] { FileCopy(services, program, folder + "\\no folder\\copy.exe", check); }),
        "copy into a missing folder fails");
  Check(!Exists(folder + "\\no folder"), "and creates no folder");
  CheckCopies(services, folder, program);
  CheckNoWriterOnTheWrittenCopy(folder, program);
  CheckPinDeniesWriters(program);
  CheckStaleTemporaries(services, folder);
  CheckHeldFolders(folder, program, link);
  return failures;
}
