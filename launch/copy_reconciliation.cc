#include "launch/copy_reconciliation.h"

#include "core/replace/replace_file.h"
#include "launch/copy_revision.h"

namespace launcher {
RevisionCheck::RevisionCheck(Revision chosen, Into into) : chosen_(chosen), into_(into) {}

bool RevisionCheck::IsChosenCopy(const std::string& version_text) const {
  return RevisionFromVersionText(version_text) == chosen_;
}

bool RevisionCheck::IsOlder(const std::string& version_text) const {
  return RevisionFromVersionText(version_text) < chosen_;
}

bool RevisionCheck::LeavesCutDestination() const { return into_ == Into::kUpdateStore; }

bool RevisionCheck::PinsOnlyTrustedSignature() const { return into_ == Into::kUpdateStore; }

RevisionCheck CheckFor(Reconciliation direction, Revision chosen) {
  return RevisionCheck(chosen, direction == Reconciliation::kLocalToStore
                                   ? RevisionCheck::Into::kUpdateStore
                                   : RevisionCheck::Into::kLocalFolder);
}

Reconciliation DirectionFor(Revision update_revision, Revision local_revision) {
  if (update_revision > local_revision && update_revision > 0) return Reconciliation::kStoreToLocal;
  if (local_revision > update_revision && local_revision > 0) return Reconciliation::kLocalToStore;
  return Reconciliation::kNone;
}

Reconciliation ReconcileCopies(Services& services, ReplaceSteps& steps,
                               const std::string& update_copy_path,
                               const std::string& local_copy_path, HoldRetry& retry) {
  // Nothing in the store is read or written unless its folders are held, free of links.
  services.HoldFolder(FolderOf(update_copy_path));
  steps.RemoveStaleTemporaries(services.SystemPath(update_copy_path));
  steps.RemoveStaleTemporaries(services.SystemPath(local_copy_path));

  const Revision update_revision = ReadRevision(services, update_copy_path, retry);
  const Revision local_revision = ReadRevision(services, local_copy_path, retry);

  const Reconciliation direction = DirectionFor(update_revision, local_revision);
  if (direction == Reconciliation::kNone) return direction;
  // Nothing is copied for a run that could not start its program: the failure says why.
  services.CheckStartable(local_copy_path);
  const bool to_local = direction == Reconciliation::kStoreToLocal;
  const std::string& source = to_local ? update_copy_path : local_copy_path;
  const std::string& destination = to_local ? local_copy_path : update_copy_path;
  // The source is tested again at this moment: it may have gone since the probe.
  if (!services.FileExists(source)) return Reconciliation::kNone;
  const RevisionCheck check = CheckFor(direction, to_local ? update_revision : local_revision);
  const bool replaced = ReplaceWithCopy(steps, services.SystemPath(source),
                                        services.SystemPath(destination), check, retry);
  return replaced ? direction : Reconciliation::kNone;
}

}  // namespace launcher
