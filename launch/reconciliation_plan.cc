#include "launch/reconciliation_plan.h"

#include <exception>

#include "core/replace/replace_file.h"
#include "launch/copy_reconciliation.h"
#include "launch/copy_revision.h"

namespace launcher {
namespace {

std::string Describe(Services& services, const std::string& path, Revision revision) {
  if (revision > 0) return "at revision " + std::to_string(revision);
  return services.FileExists(path) ? "without a revision" : "missing";
}

}  // namespace

const char* PlannedActionName(PlannedAction action) {
  switch (action) {
    case PlannedAction::kNone:
      return "none";
    case PlannedAction::kReplaceLocal:
      return "replace-local";
    case PlannedAction::kReplaceStore:
      return "replace-store";
    case PlannedAction::kRefuse:
      return "refuse";
  }
  return "refuse";
}

ReconciliationPlan PlanReconciliation(Services& services, ReplaceSteps& steps,
                                      const std::string& icon_path,
                                      const std::string& update_copy_path,
                                      const std::string& local_copy_path) {
  HoldRetry retry([&services](int milliseconds) { services.Pause(milliseconds); });
  std::string revisions;
  try {
    // Without a usable icon the launcher neither copies nor starts anything.
    retry.Run([&] { services.CheckWindowIcon(icon_path); });
    services.HoldFolder(FolderOf(update_copy_path));
    const Revision update_revision = ReadRevision(services, update_copy_path, retry);
    const Revision local_revision = ReadRevision(services, local_copy_path, retry);
    revisions = "store copy " + Describe(services, update_copy_path, update_revision) +
                ", local copy " + Describe(services, local_copy_path, local_revision);

    const Reconciliation direction = DirectionFor(update_revision, local_revision);
    if (direction == Reconciliation::kNone) {
      return {PlannedAction::kNone, revisions + ": neither is newer"};
    }
    services.CheckStartable(local_copy_path);
    if (direction == Reconciliation::kStoreToLocal) {
      CheckReplacement(steps, services.SystemPath(update_copy_path),
                       services.SystemPath(local_copy_path), CheckFor(direction, update_revision),
                       retry);
      return {PlannedAction::kReplaceLocal, revisions + ": the store's copy is newer"};
    }
    CheckReplacement(steps, services.SystemPath(local_copy_path),
                     services.SystemPath(update_copy_path), CheckFor(direction, local_revision),
                     retry);
    return {PlannedAction::kReplaceStore, revisions + ": the local copy is newer"};
  } catch (const std::exception& refusal) {
    return {PlannedAction::kRefuse,
            revisions.empty() ? refusal.what() : revisions + ", but " + refusal.what()};
  }
}

}  // namespace launcher
