// Reading the audit log back: every archive (oldest first) and then the
// live file, read whole, filtered and sorted by timestamp text. Takes no
// lock; a line being written while we read is skipped as unparsable.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "domain/audit.hpp"
#include "domain/timestamp.hpp"

namespace brackwater::infrastructure {

// Records one by one on the heap: a log holds a hundred thousand of them,
// and whoever takes them over (a Python object each) keeps them where they
// were built instead of moving every one.
using AuditRecords = std::vector<std::unique_ptr<domain::AuditRecord>>;

// The records whose branch and worktree equal the given texts byte for byte
// (when given) and whose timestamp is a valid date-time within the inclusive
// bounds (when given), in stable order of their timestamp texts. Files that
// cannot be read, are not regular files or are not valid UTF-8 anywhere are
// skipped whole; unusable lines are skipped. Never fails.
[[nodiscard]] AuditRecords read_records(const std::optional<std::string>& branch,
                                        const std::optional<std::string>& worktree,
                                        const std::optional<domain::UtcInstant>& since,
                                        const std::optional<domain::UtcInstant>& until);

}  // namespace brackwater::infrastructure
