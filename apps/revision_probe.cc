// revision-probe FILE...: prints, one line per file, separated by tabs: the path, its version
// text, the revision the launcher reads from it, the subject of its signer (or "unsigned") and
// whether that signature verifies, so that a release can be checked before it goes in the store.
//
// revision-probe --plan FOLDER: the same lines for the store's copy and for the copy in FOLDER,
// where a launcher is installed, then "plan", the action that launcher would take now and why,
// found by the launcher's own decision code. Writes, removes and starts nothing. A FOLDER that
// is missing, a file, or holds neither launcher.exe nor Ostra.ico gets a message on stderr, no
// plan and exit status 1.

#include <cstdio>
#include <exception>
#include <string>

#include "core/replace/disk_replace_steps.h"
#include "core/signature/distinguished_name.h"
#include "launch/copy_revision.h"
#include "launch/launch_paths.h"
#include "launch/reconciliation_plan.h"
#include "launch/signature_report.h"
#include "launch/system_services.h"

namespace {

// The name the installer gives the launcher; a folder with neither it nor the icon is no
// launcher's.
constexpr char kLauncherFileName[] = "launcher.exe";

// Prints the file's line; false, with the reason on stderr, when it cannot.
bool PrintFileLine(launcher::Services& services, launcher::Disk& report_disk,
                   const std::string& path) {
  try {
    if (!services.FileExists(path)) {
      std::fprintf(stderr, "revision-probe: %s: no such file\n", path.c_str());
      return false;
    }
    const std::string version = services.GetFileVersion(path);
    const launcher::SignatureReport signature =
        launcher::ReadSignatureReport(report_disk, services.SystemPath(path));
    const std::string verdict = signature.verification.verified
                                    ? "verifies"
                                    : "does not verify: " + signature.verification.problem;
    // A tab or a NUL in the signer's name would cut or shift the line's columns.
    const std::string signer =
        signature.signer ? launcher::EscapedName(*signature.signer) : std::string("unsigned");
    std::printf("%s\t%s\t%u\t%s\t%s\n", path.c_str(), version.c_str(),
                static_cast<unsigned>(launcher::RevisionFromVersionText(version)), signer.c_str(),
                verdict.c_str());
    return true;
  } catch (const std::exception& failure) {
    std::fprintf(stderr, "revision-probe: %s\n", failure.what());
    return false;
  }
}

// Why `folder` is not where a launcher is installed; empty when it may be one.
std::string FolderProblem(launcher::Services& services, const std::string& folder) {
  if (!launcher::FolderExists(folder)) {
    return services.FileExists(folder) ? "a file, not a folder" : "no such folder";
  }
  if (!services.FileExists(folder + "\\" + kLauncherFileName) &&
      !services.FileExists(folder + "\\" + launcher::kIconFileName)) {
    return std::string("no ") + kLauncherFileName + " and no " + launcher::kIconFileName +
           ": no launcher is installed here";
  }
  return {};
}

int PrintPlan(launcher::Services& services, launcher::ReplaceSteps& steps,
              launcher::Disk& report_disk, std::string folder) {
  while (folder.size() > 1 && (folder.back() == '\\' || folder.back() == '/')) folder.pop_back();
  std::string problem;
  try {
    problem = FolderProblem(services, folder);
  } catch (const std::exception& failure) {
    problem = failure.what();
  }
  if (!problem.empty()) {
    std::fprintf(stderr, "revision-probe: %s: %s\n", folder.c_str(), problem.c_str());
    return 1;
  }
  const std::string local_copy_path = folder + "\\" + launcher::kProgramFileName;
  // The plan first: it holds the store's folders, so the lines below read what it read.
  const launcher::ReconciliationPlan plan =
      launcher::PlanReconciliation(services, steps, folder + "\\" + launcher::kIconFileName,
                                   launcher::kUpdateCopyPath, local_copy_path);
  for (const std::string& path : {std::string(launcher::kUpdateCopyPath), local_copy_path}) {
    try {
      // A copy that is missing has no line; the plan says so.
      if (services.FileExists(path)) PrintFileLine(services, report_disk, path);
    } catch (const std::exception& failure) {
      std::fprintf(stderr, "revision-probe: %s\n", failure.what());
    }
  }
  std::printf("plan\t%s\t%s\n", launcher::PlannedActionName(plan.action), plan.reason.c_str());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> arguments = launcher::ProgramArguments(argc, argv);
  const bool plan = !arguments.empty() && arguments[0] == "--plan";
  if (arguments.empty() || (plan && arguments.size() != 2)) {
    std::fprintf(stderr, "usage: revision-probe FILE...\n       revision-probe --plan FOLDER\n");
    return 2;
  }
  const launcher::SystemServices system = launcher::CreateSystemServices("FileCopy");
  // The report reads each file by its path, apart from the folder the plan holds.
  const launcher::SystemServices report = launcher::CreateSystemServices("ReadSignatureReport");
  launcher::Services& services = *system.services;
  if (plan) {
    launcher::DiskReplaceSteps steps(*system.disk);
    return PrintPlan(services, steps, *report.disk, arguments[1]);
  }
  int status = 0;
  for (const std::string& path : arguments) {
    if (!PrintFileLine(services, *report.disk, path)) status = 1;
  }
  return status;
}
