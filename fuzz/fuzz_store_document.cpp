// bindings.json text -> store document, read the fast way, held against a
// reading through a nlohmann value tree: the same refusal with the same
// text, the same binding (or error) from every entry, the same session-id
// matches, and the same written form, with and without an appended entry;
// what is written reads back as the same entries.
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "domain/binding.hpp"
#include "domain/path_resolver.hpp"
#include "infrastructure/binding_store.hpp"
#include "infrastructure/json_text.hpp"
#include "support/text.hpp"

namespace {

namespace infra = brackwater::infrastructure;
using brackwater::domain::WorktreeBinding;
using nlohmann::json;

constexpr std::string_view kPath = "/fuzz/bindings.json";

void check(bool ok) {
  if (!ok) std::abort();
}

// The document as a value tree, or the display text of its refusal.
std::expected<json, std::string> reference_read(std::string_view text) {
  if (auto bad = brackwater::support::utf8_error(text)) {
    return std::unexpected(infra::BindingStoreError(infra::BindingStoreError::Io{
                                                        "file is not valid UTF-8 (" + *bad + ")", std::string(kPath)})
                               .display());
  }
  if (brackwater::support::is_blank(text)) return json{{"bindings", json::array()}, {"schema_version", 2}};
  auto parsed = infra::parse_json_text(text);
  if (!parsed || !parsed->is_object()) {
    const std::string detail = !parsed ? parsed.error().detail() : "top-level value is not an object";
    return std::unexpected(
        infra::BindingStoreError(infra::BindingStoreError::Corrupt{std::string(kPath), detail}).display());
  }
  json document = *std::move(parsed);
  if (!document.contains("bindings") || !document["bindings"].is_array()) document["bindings"] = json::array();
  return document;
}

std::string outcome(const std::expected<WorktreeBinding, std::string>& binding) {
  if (!binding) return "error: " + binding.error();
  return binding->to_dict().dump() + " v" + std::to_string(binding->schema_version);
}

bool same_id(const json& entry, const std::string& id) {
  if (!entry.is_object()) return false;
  auto it = entry.find("session_id");
  return it != entry.end() && it->is_string() && it->get_ref<const std::string&>() == id;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  auto document = infra::parse_store_document(text, std::string(kPath));
  auto reference = reference_read(text);
  check(document.has_value() == reference.has_value());
  if (!document) {
    check(document.error().display() == reference.error());
    return 0;
  }
  // Read in place from a buffer with room after it: the same document.
  std::string padded = text;
  padded.reserve(text.size() + infra::StoreDocument::kPadding);
  auto in_place = infra::parse_store_document(std::move(padded), std::string(kPath));
  check(in_place.has_value());

  json& entries = (*reference)["bindings"];
  check(document->size() == entries.size() && in_place->size() == entries.size());
  std::optional<std::string> probe;  // an id some entry has, to match and replace
  brackwater::domain::PathResolver paths;
  for (size_t i = 0; i < entries.size(); ++i) {
    const auto fast = WorktreeBinding::from_fields(document->fields(i), paths);
    check(outcome(fast) == outcome(WorktreeBinding::from_dict(entries[i])));
    if (!probe && entries[i].is_object() && entries[i].contains("session_id") && entries[i]["session_id"].is_string()) {
      probe = entries[i]["session_id"].get<std::string>();
    }
  }
  const std::string id = probe.value_or("s");
  for (size_t i = 0; i < entries.size(); ++i) check(document->has_session_id(i, id) == same_id(entries[i], id));

  (*reference)["schema_version"] = 2;
  const auto dump = [](const json& value) { return value.dump(2, ' ', false, json::error_handler_t::replace) + "\n"; };
  check(document->render([](size_t) { return true; }, nullptr) == dump(*reference));
  check(in_place->render([](size_t) { return true; }, nullptr) == dump(*reference));
  const std::string written = document->render([](size_t) { return true; }, nullptr);
  auto reread = reference_read(written);
  check(reread.has_value() && *reread == *reference);
  auto again = infra::parse_store_document(written, std::string(kPath));
  check(again.has_value() && again->size() == entries.size());
  for (size_t i = 0; i < entries.size(); ++i) {
    check(outcome(WorktreeBinding::from_fields(again->fields(i), paths)) ==
          outcome(WorktreeBinding::from_fields(document->fields(i), paths)));
  }

  const json appended = WorktreeBinding::create(id, "/w", "b\n\"", "/s", "", "/r", "", std::nullopt).to_dict();
  json kept = json::array();
  for (auto& entry : entries) {
    if (!same_id(entry, id)) kept.push_back(entry);
  }
  kept.push_back(appended);
  entries = std::move(kept);
  check(document->render([&](size_t i) { return !document->has_session_id(i, id); }, &appended) == dump(*reference));
  return 0;
}
