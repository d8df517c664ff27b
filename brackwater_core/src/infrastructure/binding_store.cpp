#include "infrastructure/binding_store.hpp"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>

#include "domain/paths.hpp"
#include "infrastructure/git_adapter.hpp"
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

// Walks a document that failed to parse and keeps where, and why, the
// parser stopped. Parse errors carry a byte offset; a number too large for a
// double is reported as out_of_range, which does not, and which `json::parse`
// would throw rather than raise as a parse error.
class ErrorLocator : public json::json_sax_t {
 public:
  bool null() override { return true; }
  bool boolean(bool) override { return true; }
  bool number_integer(number_integer_t) override { return true; }
  bool number_unsigned(number_unsigned_t) override { return true; }
  bool number_float(number_float_t, const string_t&) override { return true; }
  bool string(string_t&) override { return true; }
  bool binary(binary_t&) override { return true; }
  bool start_object(std::size_t) override { return true; }
  bool key(string_t&) override { return true; }
  bool end_object() override { return true; }
  bool start_array(std::size_t) override { return true; }
  bool end_array() override { return true; }
  bool parse_error(std::size_t byte, const std::string& /*last_token*/, const json::exception& error) override {
    byte_ = byte;
    what_ = error.what();
    return false;
  }

  std::size_t byte_ = 0;
  std::string what_;
};

// "<description> at line L column C" for a text that does not parse. The
// description drops the library's "[json.exception...] " tag and its own
// "parse error at line ..., column ...: " lead.
std::string parse_error_detail(std::string_view text) {
  ErrorLocator locator;
  json::sax_parse(text, &locator);
  std::string_view description = locator.what_;
  const size_t byte = locator.byte_;
  if (description.starts_with('[')) {
    if (auto end = description.find("] "); end != std::string_view::npos) description.remove_prefix(end + 2);
  }
  if (description.starts_with("parse error")) {
    if (auto colon = description.find(": "); colon != std::string_view::npos) description.remove_prefix(colon + 2);
  }
  const size_t offset = std::min<size_t>(byte == 0 ? 0 : byte - 1, text.size());
  const auto before = text.substr(0, offset);
  const size_t line = 1 + static_cast<size_t>(std::count(before.begin(), before.end(), '\n'));
  const size_t line_start = before.rfind('\n') == std::string_view::npos ? 0 : before.rfind('\n') + 1;
  const size_t column = offset - line_start + 1;
  return support::concat(description, " at line ", line, " column ", column);
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

  json document = json::parse(bytes, nullptr, /*allow_exceptions=*/false);
  if (document.is_discarded()) return std::unexpected(BindingStoreError::Corrupt{path, parse_error_detail(bytes)});
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
  support::UniqueFd fd(::open(lock_file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666));
  if (!fd) return std::unexpected(io_error(errno, lock_file));
  if (::flock(fd.get(), LOCK_EX) != 0) return std::unexpected(io_error(errno, lock_file));
  return std::optional<support::FileLock>(std::in_place, std::move(fd));
}

std::expected<nlohmann::json, BindingStoreError> WorktreeBindingStore::read_locked() const {
  auto bytes = support::read_file(path_);
  if (!bytes) {
    if (bytes.error() == ENOENT) return empty_store_payload();
    return std::unexpected(io_error(bytes.error(), path_));
  }
  return parse_store_document(*bytes, path_);
}

std::expected<void, BindingStoreError> WorktreeBindingStore::write_locked(const nlohmann::json& document) const {
  auto written = support::replace_file_atomically(support::parent_dir(path_), path_, render(document), 0600);
  if (!written) return std::unexpected(io_error(written.error(), path_));
  return {};
}

std::expected<std::vector<WorktreeBinding>, BindingStoreError> WorktreeBindingStore::list() const {
  auto guard = lock(false);
  if (!guard) return std::unexpected(guard.error());
  if (!*guard) return std::vector<WorktreeBinding>{};
  auto document = read_locked();
  if (!document) return std::unexpected(document.error());
  std::vector<WorktreeBinding> bindings;
  for (const auto& entry : (*document)["bindings"]) {
    if (auto binding = parse_entry(entry)) bindings.push_back(*std::move(binding));
  }
  return bindings;
}

std::expected<std::optional<WorktreeBinding>, BindingStoreError> WorktreeBindingStore::load(
    std::string_view session_id) const {
  auto guard = lock(false);
  if (!guard) return std::unexpected(guard.error());
  if (!*guard) return std::nullopt;
  auto document = read_locked();
  if (!document) return std::unexpected(document.error());
  const auto& entries = (*document)["bindings"];
  auto match = std::find_if(entries.begin(), entries.end(),
                            [&](const json& entry) { return has_session_id(entry, session_id); });
  if (match == entries.end()) return std::nullopt;
  return parse_entry(*match);
}

std::expected<void, BindingStoreError> WorktreeBindingStore::upsert(const domain::WorktreeBinding& binding) const {
  auto guard = lock(true);
  if (!guard) return std::unexpected(guard.error());
  auto document = read_locked();
  if (!document) return std::unexpected(document.error());
  auto& entries = (*document)["bindings"];
  json kept = json::array();
  for (auto& entry : entries) {
    if (!has_session_id(entry, binding.session_id)) kept.push_back(std::move(entry));
  }
  kept.push_back(binding.to_dict());
  entries = std::move(kept);
  (*document)["schema_version"] = domain::kCurrentSchemaVersion;
  return write_locked(*document);
}

std::expected<std::optional<WorktreeBinding>, BindingStoreError> WorktreeBindingStore::remove(
    std::string_view session_id) const {
  struct stat st;
  if (::stat(path_.c_str(), &st) != 0) return std::nullopt;
  auto guard = lock(false);
  if (!guard) return std::unexpected(guard.error());
  if (!*guard) return std::nullopt;
  auto document = read_locked();
  if (!document) return std::unexpected(document.error());
  auto& entries = (*document)["bindings"];
  auto match = std::find_if(entries.begin(), entries.end(),
                            [&](const json& entry) { return has_session_id(entry, session_id); });
  if (match == entries.end()) return std::nullopt;
  json removed = std::move(*match);
  entries.erase(match);
  (*document)["schema_version"] = domain::kCurrentSchemaVersion;
  if (auto written = write_locked(*document); !written) return std::unexpected(written.error());
  return parse_entry(removed);
}

}  // namespace brackwater::infrastructure
