#include "launch/copy_reconciliation.h"

#include "launch/revision_probe.h"
#include "platform/replace_file.h"

namespace launcher {
RevisionCheck::RevisionCheck(Revision chosen) : chosen_(chosen) {}

bool RevisionCheck::IsChosenCopy(const std::string& version_text) const {
  return RevisionFromVersionText(version_text) == chosen_;
}

bool RevisionCheck::IsOlder(const std::string& version_text) const {
  return RevisionFromVersionText(version_text) < chosen_;
}

Reconciliation ReconcileCopies(Services& services, const std::string& update_copy_path,
                               const std::string& local_copy_path) {
  // Nothing in the store is read or written unless its folders are held, free of links.
  services.HoldFolder(FolderOf(update_copy_path));
  services.RemoveStaleTemporaries(update_copy_path);
  services.RemoveStaleTemporaries(local_copy_path);

  const Revision update_revision = ReadRevision(services, update_copy_path);
  const Revision local_revision = ReadRevision(services, local_copy_path);

  // The source is tested again at this moment: it may have gone since the probe.
  if (update_revision > local_revision && update_revision > 0) {
    if (!services.FileExists(update_copy_path)) return Reconciliation::kNone;
    return services.FileCopy(update_copy_path, local_copy_path, RevisionCheck(update_revision))
               ? Reconciliation::kStoreToLocal
               : Reconciliation::kNone;
  }
  if (local_revision > update_revision && local_revision > 0) {
    if (!services.FileExists(local_copy_path)) return Reconciliation::kNone;
    return services.FileCopy(local_copy_path, update_copy_path, RevisionCheck(local_revision))
               ? Reconciliation::kLocalToStore
               : Reconciliation::kNone;
  }
  return Reconciliation::kNone;
}

}  // namespace launcher
