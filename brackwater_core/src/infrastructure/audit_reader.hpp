// Reading the audit log back: every archive (oldest first) and then the
// live file, streamed line by line, filtered and sorted by timestamp text.
// Takes no lock; a line being written while we read is skipped as
// unparsable. Memory grows with the records returned, never with the size
// of a file or of its longest line; time with the data on disk, not with
// the holes of a sparse file.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "domain/packed_audit_record.hpp"
#include "domain/timestamp.hpp"

namespace brackwater::infrastructure {

// Records one by one on the heap: a log holds a hundred thousand of them,
// and whoever takes them over (a Python object each) keeps them where they
// were built instead of moving every one.
using AuditRecords = std::vector<std::unique_ptr<domain::PackedAuditRecord>>;

// The records whose branch and worktree equal the given texts byte for byte
// (when given) and whose timestamp is a valid date-time within the inclusive
// bounds (when given), in stable order of their timestamp texts. Files that
// cannot be opened or are not regular files are skipped; so is every line
// that is not valid UTF-8, does not hold a record, is longer than
// domain::kAuditMaxLineBytes (its ending not counted), runs into a hole of a
// sparse file, or needs more memory than there is. Each record in the log
// when the call starts is returned once, whatever rotations happen meanwhile
// (pruning aside) and however many archive names reach its file. Only the
// memory for the records returned can fail it (std::bad_alloc).
[[nodiscard]] AuditRecords read_records(const std::optional<std::string>& branch,
                                        const std::optional<std::string>& worktree,
                                        const std::optional<domain::UtcInstant>& since,
                                        const std::optional<domain::UtcInstant>& until);

}  // namespace brackwater::infrastructure
