// config/worktree.yaml text -> configuration (or an error that names the
// file), then the override matcher over it.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "infrastructure/worktree_config_loader.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  namespace infra = brackwater::infrastructure;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  auto config = infra::parse_worktree_config(text, "/fuzz/config/worktree.yaml");
  if (!config) {
    if (!config.error().starts_with("config/worktree.yaml at /fuzz/config/worktree.yaml could not be ")) std::abort();
    return 0;
  }
  if (config->root && config->root->height() > infra::YamlValue::kMaxHeight) std::abort();
  const brackwater::support::EnvSnapshot env{{"CI", "1"}, {"A", "x"}, {"B", " "}, {"E", ""}};
  auto chosen = infra::match_config_override(*config, "/fuzz", env);
  if (chosen && chosen->empty()) std::abort();  // an empty base is never chosen
  return 0;
}
