#include "infrastructure/binding_store.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>

#include "domain/path_resolver.hpp"
#include "domain/paths.hpp"
#include "infrastructure/git_adapter.hpp"
#include "support/atomic_file.hpp"
#include "support/concat.hpp"
#include "support/fd_io.hpp"
#include "support/files.hpp"
#include "support/log.hpp"
#include "support/os_error.hpp"
#include "support/owned_dirs.hpp"
#include "support/path_join.hpp"
#include "support/text.hpp"
#include "support/wait_hook.hpp"

namespace brackwater::infrastructure {
namespace {

using domain::WorktreeBinding;
constexpr std::string_view kLogTarget = "brackwater::infrastructure::binding_store";
constexpr std::string_view kStoreFileName = "bindings.json";
constexpr std::string_view kLockFileName = "bindings.json.lock";

BindingStoreError io_error(int err, const std::string& path) {
  return BindingStoreError::Io{support::os_error_text(err), path};
}

// The binding of entry `i` when it parses; the entry is skipped otherwise.
std::optional<WorktreeBinding> parse_entry(const StoreDocument& document, size_t i, domain::PathResolver& paths) {
  auto binding = WorktreeBinding::from_fields(document.fields(i), paths);
  if (!binding) return std::nullopt;
  return *std::move(binding);
}

std::optional<size_t> first_with_session_id(const StoreDocument& document, std::string_view session_id) {
  for (size_t i = 0; i < document.size(); ++i) {
    if (document.has_session_id(i, session_id)) return i;
  }
  return std::nullopt;
}

}  // namespace

std::string BindingStoreError::code() const {
  if (is<Corrupt>()) return kStoreCorruptCode;
  if (is<Io>()) return kStoreIoCode;
  return get<Project>()->error.code();
}

std::string BindingStoreError::display() const {
  if (const auto* e = get<Corrupt>()) {
    return support::concat(kStoreCorruptCode, ": binding store ", e->path, " is not valid JSON: ", e->detail);
  }
  if (const auto* e = get<Io>()) {
    return support::concat(kStoreIoCode, ": binding store ", e->path, ": ", e->source);
  }
  return get<Project>()->error.display();
}

std::expected<StoreDocument, BindingStoreError> parse_store_document(std::string bytes, const std::string& path) {
  auto document = StoreDocument::parse(std::move(bytes));
  if (document) return *std::move(document);
  if (document.error().kind == StoreDocumentError::Kind::kNotUtf8) {
    return std::unexpected(BindingStoreError::Io{"file is not valid UTF-8 (" + document.error().detail + ")", path});
  }
  return std::unexpected(BindingStoreError::Corrupt{path, std::move(document.error().detail)});
}

std::string resolve_store_root(std::string_view candidate) {
  std::string common;
  if (auto answer = git_output(candidate, git_commands::kCommonDir)) {
    common = domain::normalize_path(*answer);
  } else {
    support::log::debug(kLogTarget, [&] {
      return support::concat("resolve_store_root(", candidate,
                             "): using candidate as store root: ", answer.error().display());
    });
  }
  const auto slash = common.rfind('/');
  if (!common.empty() && slash != std::string::npos && common.substr(slash + 1) == ".git") {
    return support::parent_dir(common);
  }
  return std::string(candidate);
}

std::expected<WorktreeBindingStore, BindingStoreError> WorktreeBindingStore::create(std::string_view main_worktree) {
  return at_store_root(resolve_store_root(domain::normalize_path(support::lossy_utf8(main_worktree))));
}

std::expected<WorktreeBindingStore, BindingStoreError> WorktreeBindingStore::at_store_root(std::string root) {
  // The project id, then the store's path under the root. One error exit:
  // with two, g++ 12 takes a string of the second for uninitialised
  // (-Wmaybe-uninitialized).
  auto relative = resolve_project_id(root);
  if (relative) relative = store_relative_path(*relative);
  if (!relative) return std::unexpected(BindingStoreError::Project{std::move(relative).error()});
  std::string path = support::join_path(root, *relative);
  std::string below = support::parent_dir(*relative);
  return WorktreeBindingStore(std::move(root), std::move(path), std::move(below));
}

std::string WorktreeBindingStore::lock_path() const { return path_ + ".lock"; }

std::expected<std::optional<WorktreeBindingStore::Held>, BindingStoreError> WorktreeBindingStore::lock(
    bool create) const {
  // A wait of this operation was stopped already (a git run cut short on
  // the way here): the store's directory is not created either.
  if (support::wait_stopped()) return std::unexpected(io_error(EINTR, lock_path()));
  auto dir = support::open_owned_dir(main_worktree_, below_, create);
  if (!dir) {
    if (!create && dir.error().missing()) return std::nullopt;
    return std::unexpected(BindingStoreError::Io{dir.error().text(), path_});
  }
  const std::string lock_file = lock_path();
  auto held = support::lock_exclusive(dir->get(), support::parent_dir(path_), kLockFileName);
  if (!held) return std::unexpected(BindingStoreError::Io{held.error().text(), lock_file});
  return Held{*std::move(dir), *std::move(held)};
}

std::expected<std::optional<WorktreeBindingStore::Locked>, BindingStoreError> WorktreeBindingStore::lock_and_read(
    bool create) const {
  auto guard = lock(create);
  if (!guard) return std::unexpected(guard.error());
  if (!*guard) return std::nullopt;
  auto document = read_locked();
  if (!document) return std::unexpected(document.error());
  return Locked{**std::move(guard), *std::move(document)};
}

std::expected<StoreDocument, BindingStoreError> WorktreeBindingStore::read_locked() const {
  std::string bytes = StoreDocument::reusable_buffer();
  if (auto read = support::read_regular_file_into(path_, bytes, StoreDocument::kPadding); !read) {
    if (read.error().not_found()) return StoreDocument::empty();
    return std::unexpected(BindingStoreError::Io{read.error().text(), path_});
  }
  return parse_store_document(std::move(bytes), path_);
}

std::expected<void, BindingStoreError> WorktreeBindingStore::write_locked(const Held& held,
                                                                          std::string_view text) const {
  auto written = support::replace_file_atomically(held.dir.get(), kStoreFileName, text, 0600);
  if (!written) return std::unexpected(BindingStoreError::Io{support::write_error_text(written.error()), path_});
  return {};
}

std::expected<std::vector<WorktreeBinding>, BindingStoreError> WorktreeBindingStore::list() const {
  auto locked = lock_and_read(false);
  if (!locked) return std::unexpected(locked.error());
  std::vector<WorktreeBinding> bindings;
  if (!*locked) return bindings;
  const StoreDocument& document = (*locked)->document;
  domain::PathResolver paths;
  bindings.reserve(document.size());
  for (size_t i = 0; i < document.size(); ++i) {
    if (auto binding = parse_entry(document, i, paths)) bindings.push_back(*std::move(binding));
  }
  return bindings;
}

std::expected<std::optional<WorktreeBinding>, BindingStoreError> WorktreeBindingStore::load(
    std::string_view session_id) const {
  auto locked = lock_and_read(false);
  if (!locked) return std::unexpected(locked.error());
  if (!*locked) return std::nullopt;
  const StoreDocument& document = (*locked)->document;
  const auto match = first_with_session_id(document, session_id);
  if (!match) return std::nullopt;
  domain::PathResolver paths;
  return parse_entry(document, *match, paths);
}

std::expected<void, BindingStoreError> WorktreeBindingStore::upsert(const domain::WorktreeBinding& binding) const {
  auto locked = lock_and_read(true);
  if (!locked) return std::unexpected(locked.error());
  const StoreDocument& document = (*locked)->document;
  const nlohmann::json appended = binding.to_dict();
  return write_locked(
      (*locked)->held,
      document.render([&](size_t i) { return !document.has_session_id(i, binding.session_id); }, &appended));
}

std::expected<std::optional<WorktreeBinding>, BindingStoreError> WorktreeBindingStore::remove(
    std::string_view session_id) const {
  // No store file, nothing to remove: nothing is created or locked. A file
  // whose status cannot be read for another reason is not taken as absent.
  struct stat st;
  if (::stat(path_.c_str(), &st) != 0) {
    if (errno == ENOENT || errno == ENOTDIR) return std::nullopt;
    return std::unexpected(io_error(errno, path_));
  }
  auto locked = lock_and_read(false);
  if (!locked) return std::unexpected(locked.error());
  if (!*locked) return std::nullopt;
  const StoreDocument& document = (*locked)->document;
  const auto match = first_with_session_id(document, session_id);
  if (!match) return std::nullopt;
  if (auto written = write_locked((*locked)->held, document.render([&](size_t i) { return i != *match; }, nullptr));
      !written) {
    return std::unexpected(written.error());
  }
  domain::PathResolver paths;
  return parse_entry(document, *match, paths);
}

}  // namespace brackwater::infrastructure
