#include "launch/copy_reconciliation.h"

#include "launch/revision_probe.h"

namespace launcher {

Reconciliation ReconcileCopies(Services& services, const std::string& update_copy_path,
                               const std::string& local_copy_path) {
  const Revision update_revision = ReadRevision(services, update_copy_path);
  const Revision local_revision = ReadRevision(services, local_copy_path);

  // The source is tested again at this moment: it may have gone since the probe.
  if (update_revision > local_revision && update_revision > 0) {
    if (!services.FileExists(update_copy_path)) return Reconciliation::kNone;
    services.FileCopy(update_copy_path, local_copy_path);
    return Reconciliation::kStoreToLocal;
  }
  if (local_revision > update_revision && local_revision > 0) {
    if (!services.FileExists(local_copy_path)) return Reconciliation::kNone;
    services.FileCopy(local_copy_path, update_copy_path);
    return Reconciliation::kLocalToStore;
  }
  return Reconciliation::kNone;
}

}  // namespace launcher
