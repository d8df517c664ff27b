#include "infrastructure/binding_store.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>

#include "domain/paths.hpp"
#include "infrastructure/git_adapter.hpp"
#include "infrastructure/json_text.hpp"
#include "support/atomic_file.hpp"
#include "support/concat.hpp"
#include "support/files.hpp"
#include "support/log.hpp"
#include "support/os_error.hpp"
#include "support/path_join.hpp"
#include "support/text.hpp"

namespace brackwater::infrastructure {
namespace {

using domain::WorktreeBinding;
using nlohmann::json;
constexpr std::string_view kLogTarget = "brackwater::infrastructure::binding_store";

BindingStoreError io_error(int err, const std::string& path) {
  return BindingStoreError::Io{support::os_error_text(err), path};
}

// Serialised with a two-space indent, keys in byte order, UTF-8 unescaped,
// and one final newline.
std::string render(const json& document) {
  return document.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
}

bool has_session_id(const json& entry, std::string_view session_id) {
  if (!entry.is_object()) return false;
  auto it = entry.find("session_id");
  return it != entry.end() && it->is_string() && it->get_ref<const std::string&>() == session_id;
}

std::optional<WorktreeBinding> parse_entry(const json& entry) {
  auto binding = WorktreeBinding::from_dict(entry);
  if (!binding) return std::nullopt;
  return *std::move(binding);
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

std::expected<nlohmann::json, BindingStoreError> parse_store_document(std::string_view bytes,
                                                                     const std::string& path) {
  if (auto bad = support::utf8_error(bytes)) {
    return std::unexpected(BindingStoreError::Io{"file is not valid UTF-8 (" + *bad + ")", path});
  }
  if (support::is_blank(bytes)) return empty_store_payload();

  auto parsed = parse_json_text(bytes);
  if (!parsed) return std::unexpected(BindingStoreError::Corrupt{path, parsed.error().detail()});
  json document = *std::move(parsed);
  if (!document.is_object()) {
    return std::unexpected(BindingStoreError::Corrupt{path, "top-level value is not an object"});
  }
  auto bindings = document.find("bindings");
  if (bindings == document.end() || !bindings->is_array()) document["bindings"] = json::array();
  return document;
}

json empty_store_payload() { return json{{"schema_version", domain::kCurrentSchemaVersion}, {"bindings", json::array()}}; }

std::string resolve_store_root(std::string_view candidate) {
  std::string common;
  if (auto answer = git_output(candidate, git_commands::kCommonDir)) {
    common = domain::normalize_path(*answer);
  } else {
    support::log::debug(kLogTarget, [&] {
      return support::concat("resolve_store_root(", candidate, "): using candidate as store root: ",
                             answer.error().display());
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
  auto project_id = resolve_project_id(root);
  if (!project_id) return std::unexpected(BindingStoreError::Project{project_id.error()});
  auto relative = store_relative_path(*project_id);
  if (!relative) return std::unexpected(BindingStoreError::Project{relative.error()});
  std::string path = support::join_path(root, *relative);
  return WorktreeBindingStore(std::move(root), std::move(path));
}

std::string WorktreeBindingStore::lock_path() const { return path_ + ".lock"; }

std::expected<std::optional<support::FileLock>, BindingStoreError> WorktreeBindingStore::lock(bool create) const {
  const std::string dir = support::parent_dir(path_);
  if (!support::is_directory(dir)) {
    if (!create) return std::nullopt;
    if (auto made = support::create_directories(dir); !made) return std::unexpected(io_error(made.error(), path_));
  }
  const std::string lock_file = lock_path();
  auto held = support::lock_exclusive(lock_file);
  if (!held) return std::unexpected(io_error(held.error(), lock_file));
  return std::optional<support::FileLock>(*std::move(held));
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

std::expected<nlohmann::json, BindingStoreError> WorktreeBindingStore::read_locked() const {
  auto bytes = support::read_regular_file(path_);
  if (!bytes) {
    if (bytes.error().not_found()) return empty_store_payload();
    return std::unexpected(BindingStoreError::Io{bytes.error().text(), path_});
  }
  return parse_store_document(*bytes, path_);
}

std::expected<void, BindingStoreError> WorktreeBindingStore::write_locked(const nlohmann::json& document) const {
  auto written = support::replace_file_atomically(support::parent_dir(path_), path_, render(document), 0600);
  if (!written) return std::unexpected(io_error(written.error(), path_));
  return {};
}

std::expected<std::vector<WorktreeBinding>, BindingStoreError> WorktreeBindingStore::list() const {
  auto locked = lock_and_read(false);
  if (!locked) return std::unexpected(locked.error());
  std::vector<WorktreeBinding> bindings;
  if (!*locked) return bindings;
  for (const auto& entry : (*locked)->document["bindings"]) {
    if (auto binding = parse_entry(entry)) bindings.push_back(*std::move(binding));
  }
  return bindings;
}

std::expected<std::optional<WorktreeBinding>, BindingStoreError> WorktreeBindingStore::load(
    std::string_view session_id) const {
  auto locked = lock_and_read(false);
  if (!locked) return std::unexpected(locked.error());
  if (!*locked) return std::nullopt;
  const auto& entries = (*locked)->document["bindings"];
  auto match = std::find_if(entries.begin(), entries.end(),
                            [&](const json& entry) { return has_session_id(entry, session_id); });
  if (match == entries.end()) return std::nullopt;
  return parse_entry(*match);
}

std::expected<void, BindingStoreError> WorktreeBindingStore::upsert(const domain::WorktreeBinding& binding) const {
  auto locked = lock_and_read(true);
  if (!locked) return std::unexpected(locked.error());
  json& document = (*locked)->document;
  auto& entries = document["bindings"];
  json kept = json::array();
  for (auto& entry : entries) {
    if (!has_session_id(entry, binding.session_id)) kept.push_back(std::move(entry));
  }
  kept.push_back(binding.to_dict());
  entries = std::move(kept);
  document["schema_version"] = domain::kCurrentSchemaVersion;
  return write_locked(document);
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
  json& document = (*locked)->document;
  auto& entries = document["bindings"];
  auto match = std::find_if(entries.begin(), entries.end(),
                            [&](const json& entry) { return has_session_id(entry, session_id); });
  if (match == entries.end()) return std::nullopt;
  json removed = std::move(*match);
  entries.erase(match);
  document["schema_version"] = domain::kCurrentSchemaVersion;
  if (auto written = write_locked(document); !written) return std::unexpected(written.error());
  return parse_entry(removed);
}

}  // namespace brackwater::infrastructure
