// bindings.json text -> store document -> every entry as a binding, whose
// dictionary form reads back as the same binding -> the written form (as the
// store renders it), which must read back as the same document.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "domain/binding.hpp"
#include "infrastructure/binding_store.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  namespace infra = brackwater::infrastructure;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  auto document = infra::parse_store_document(text, "/fuzz/bindings.json");
  if (!document) {
    if (!document.error().display().starts_with(document.error().code() + ": binding store /fuzz/bindings.json")) {
      std::abort();
    }
    return 0;
  }
  if (!(*document)["bindings"].is_array()) std::abort();
  for (const auto& entry : (*document)["bindings"]) {
    auto binding = brackwater::domain::WorktreeBinding::from_dict(entry);
    if (!binding) continue;
    const auto dict = binding->to_dict();
    auto again = brackwater::domain::WorktreeBinding::from_dict(dict);
    if (!again || again->to_dict() != dict) std::abort();
  }
  const std::string written = document->dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
  auto again = infra::parse_store_document(written, "/fuzz/bindings.json");
  if (!again || *again != *document) std::abort();
  return 0;
}
