// The per-repository binding store: `bindings.json` under the project state
// directory of the repository's main worktree.
//
// Every operation opens, locks (exclusive flock on `bindings.json.lock`),
// reads and, for changes, rewrites the file anew; the store object holds no
// cache and no open file, so store objects in any number of processes see
// each other's changes. Writes go to a temporary file that is renamed over
// the store, so a reader without the lock never sees a partial document.
#pragma once

#include <nlohmann/json.hpp>

#include <concepts>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "domain/binding.hpp"
#include "infrastructure/project_id_resolver.hpp"
#include "infrastructure/store_document.hpp"
#include "support/file_lock.hpp"

namespace brackwater::infrastructure {

inline constexpr char kStoreCorruptCode[] = "WORKTREE_BINDING_STORE_CORRUPT";
inline constexpr char kStoreIoCode[] = "WORKTREE_BINDING_STORE_IO";

struct BindingStoreErrorKinds {
  struct Corrupt {
    std::string path;
    std::string detail;
  };
  struct Io {
    std::string source;  // the I/O error's text
    std::string path;    // the file concerned
  };
  struct Project {
    ProjectResolveError error;
  };
};
class BindingStoreError : public BindingStoreErrorKinds,
                          public support::ErrorKinds<BindingStoreErrorKinds::Corrupt, BindingStoreErrorKinds::Io,
                                                     BindingStoreErrorKinds::Project> {
 public:
  using ErrorKinds::ErrorKinds;
  // The reason code the text begins with.
  std::string code() const;
  std::string display() const;
};

// The directory that holds the repository's ".git" directory, found through
// git from any worktree of the repository; `candidate` itself when git gives
// no answer or the common directory is not named ".git".
std::string resolve_store_root(std::string_view candidate);

class WorktreeBindingStore {
 public:
  // Resolves the store root of `main_worktree` and the store path under its
  // project's state directory. Creates and opens nothing.
  [[nodiscard]] static std::expected<WorktreeBindingStore, BindingStoreError> create(std::string_view main_worktree);

  // The store of `root`, which is already a resolved store root (as
  // `resolve_store_root` gives it): the same store `create` gives for it,
  // without asking git again.
  [[nodiscard]] static std::expected<WorktreeBindingStore, BindingStoreError> at_store_root(std::string root);

  const std::string& main_worktree() const noexcept { return main_worktree_; }
  const std::string& path() const noexcept { return path_; }

  // Every entry that parses as a binding, in stored order.
  [[nodiscard]] std::expected<std::vector<domain::WorktreeBinding>, BindingStoreError> list() const;
  // The first entry with this session id, when it parses.
  [[nodiscard]] std::expected<std::optional<domain::WorktreeBinding>, BindingStoreError> load(
      std::string_view session_id) const;
  // Drops every entry with the binding's session id and appends the binding.
  [[nodiscard]] std::expected<void, BindingStoreError> upsert(const domain::WorktreeBinding& binding) const;
  // Removes the first entry with this session id; the removed binding when
  // it parses.
  [[nodiscard]] std::expected<std::optional<domain::WorktreeBinding>, BindingStoreError> remove(
      std::string_view session_id) const;

 private:
  WorktreeBindingStore(std::string main_worktree, std::string path, std::string below)
      : main_worktree_(std::move(main_worktree)), path_(std::move(path)), below_(std::move(below)) {}

  // The store's directory, reached from the store root without a link, and
  // the lock held on the lock file in it.
  struct Held {
    support::UniqueFd dir;
    support::FileLock lock;
  };
  // The lock and the document read under it; the lock is held for as long
  // as the value lives.
  struct Locked {
    Held held;
    StoreDocument document;
  };

  std::string lock_path() const;
  // A wait that the wait hook stopped (support/wait_hook.hpp), now or
  // earlier in the operation, is an Io error of EINTR, before anything was
  // created, read or written.
  // The held lock; nullopt when the store directory is missing and `create`
  // is false (nothing is created then). A link or a directory or lock file
  // another user owns on the way from the store root is an Io error.
  [[nodiscard]] std::expected<std::optional<Held>, BindingStoreError> lock(bool create) const;
  // `lock(create)` then `read_locked()`: the prologue of every operation.
  [[nodiscard]] std::expected<std::optional<Locked>, BindingStoreError> lock_and_read(bool create) const;
  [[nodiscard]] std::expected<StoreDocument, BindingStoreError> read_locked() const;
  [[nodiscard]] std::expected<void, BindingStoreError> write_locked(const Held& held, std::string_view text) const;

  std::string main_worktree_;
  std::string path_;
  std::string below_;  // the store's directory, relative to the store root
};

// The store document in `bytes` (read from `path`): blank text is the empty
// document; "bindings" missing or not an array becomes an empty array. Text
// that is not exactly one JSON value (a NUL byte and more after it
// included), or that nests deeper than can be written back, is corrupt.
[[nodiscard]] std::expected<StoreDocument, BindingStoreError> parse_store_document(std::string bytes,
                                                                                   const std::string& path);

}  // namespace brackwater::infrastructure
