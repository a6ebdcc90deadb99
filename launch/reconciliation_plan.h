#pragma once

#include <string>

#include "core/replace/replace_file.h"
#include "launch/services.h"

namespace launcher {

// What the launcher would do with the two copies now.
enum class PlannedAction {
  kNone,          // neither copy is newer: nothing to replace
  kReplaceLocal,  // the store's copy would replace the local copy
  kReplaceStore,  // the local copy would replace the store's copy
  kRefuse,        // a copy is newer, but a check refuses it or a copy cannot be read
};

struct ReconciliationPlan {
  PlannedAction action = PlannedAction::kNone;
  std::string reason;  // in plain words: the revisions, and for kRefuse the check and its finding
};

// "none", "replace-local", "replace-store" or "refuse".
const char* PlannedActionName(PlannedAction action);

// Decides as RunLaunchSequence and ReconcileCopies do, through the same icon check, revision
// reads, direction and replacement checks (CheckReplacement over `steps`), but writes, removes and
// starts nothing: stale temporaries stay, and what could only be found while copying (a source that
// changes meanwhile) is not. Never throws: a failure, which would send the launcher's run to its
// fallback, is a kRefuse whose reason is its text, in the words of the launcher's report.
ReconciliationPlan PlanReconciliation(Services& services, ReplaceSteps& steps,
                                      const std::string& icon_path,
                                      const std::string& update_copy_path,
                                      const std::string& local_copy_path);

}  // namespace launcher
