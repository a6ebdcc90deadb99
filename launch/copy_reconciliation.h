#pragma once

#include <string>

#include "core/hold_retry.h"
#include "core/replace/replace_file.h"
#include "launch/copy_revision.h"
#include "launch/services.h"

namespace launcher {

enum class Reconciliation {
  kNone,          // nothing touched
  kStoreToLocal,  // the update-store copy replaced the local copy
  kLocalToStore,  // the local copy replaced the update-store copy
};

// The reconciliation's rules for a copy it chose at revision `chosen`: the written copy must be
// at that revision, and the destination is replaced only while below it. Into the update store,
// which others write too, only a whole image is replaced, and only a trusted signature pins.
class RevisionCheck : public CopyCheck {
 public:
  enum class Into { kLocalFolder, kUpdateStore };

  explicit RevisionCheck(Revision chosen, Into into = Into::kLocalFolder);
  bool IsChosenCopy(const std::string& version_text) const override;
  bool IsOlder(const std::string& version_text) const override;
  bool LeavesCutDestination() const override;
  bool PinsOnlyTrustedSignature() const override;

 private:
  Revision chosen_;
  Into into_;
};

// Which way a copy goes for these revisions: towards the older copy when the newer revision is
// above 0, else nowhere.
Reconciliation DirectionFor(Revision update_revision, Revision local_revision);

// Holds the update store's folder (free of links) and, through `steps`, clears stale temporaries
// beside both copies,
// reads both revisions (the update store's first), then replaces the older copy with the newer
// one when the newer revision is above 0 and the local copy's path can be started. kNone also
// when another launcher made the older copy as new meanwhile. Every wait for a file held for a
// moment, the reads included, is drawn from `retry`. Raises the first ServiceError; a failed
// replacement leaves the older copy as it was.
Reconciliation ReconcileCopies(Services& services, ReplaceSteps& steps,
                               const std::string& update_copy_path,
                               const std::string& local_copy_path, HoldRetry& retry);

// The check of a copy in `direction` (not kNone) at revision `chosen`.
RevisionCheck CheckFor(Reconciliation direction, Revision chosen);

}  // namespace launcher
