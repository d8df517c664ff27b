// A session's metadata.json text -> what recovery would register.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "infrastructure/session_metadata.hpp"
#include "support/text.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  auto metadata = brackwater::infrastructure::parse_session_metadata(text);
  if (metadata && brackwater::support::is_blank(metadata->worktree)) std::abort();
  return 0;
}
