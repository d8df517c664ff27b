// pyproject.toml text -> project id, or an error that names the file.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "domain/paths.hpp"
#include "infrastructure/project_id_resolver.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  namespace infra = brackwater::infrastructure;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  auto id = infra::project_id_from_pyproject(text, "/fuzz/pyproject.toml");
  if (id) {
    if (!brackwater::domain::validate_project_id(*id)) std::abort();  // every answer is a valid id
  } else if (!id.error().is_invalid() &&
             !id.error().message().starts_with("pyproject.toml at /fuzz/pyproject.toml could not be ")) {
    std::abort();
  }
  return 0;
}
