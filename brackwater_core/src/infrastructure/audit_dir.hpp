// Where the audit log lives: one directory shared by every process that
// records events for a project.
#pragma once

#include <expected>
#include <string>

#include "infrastructure/project_id_resolver.hpp"

namespace brackwater::infrastructure {

// The audit directory as the root it is reached from, as given, and the
// names below it, which are never taken through a link
// (support/owned_dirs.hpp).
struct AuditDir {
  std::string root;
  std::string below;
  std::string path;  // the two joined
};

// PLOWLINE_SHARED_DIR, else TESSARY_SHARED_DIR (trimmed, "~" expanded) joined
// with "audit"; otherwise <root>/.<project_id>/shared/audit, the root being
// TESSARY_PROJECT_ROOT or the current directory, made canonical when it can
// be. Reads the environment afresh on every call and creates nothing.
[[nodiscard]] std::expected<AuditDir, ProjectResolveError> resolve_plowline_shared_audit_dir();

}  // namespace brackwater::infrastructure
