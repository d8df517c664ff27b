// A store entry (any JSON) -> binding -> dictionary form -> binding again.
#include <cstdint>
#include <cstdlib>

#include "domain/binding.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto value = nlohmann::json::parse(data, data + size, nullptr, /*allow_exceptions=*/false);
  if (value.is_discarded()) return 0;
  auto binding = brackwater::domain::WorktreeBinding::from_dict(value);
  if (!binding) return 0;
  const auto dict = binding->to_dict();
  (void)dict.dump(2, ' ', false, nlohmann::json::error_handler_t::replace);
  auto again = brackwater::domain::WorktreeBinding::from_dict(dict);
  if (!again || again->to_dict() != dict) std::abort();
  return 0;
}
