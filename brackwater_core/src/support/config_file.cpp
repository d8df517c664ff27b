#include "support/config_file.hpp"

#include "support/concat.hpp"
#include "support/files.hpp"
#include "support/text.hpp"

namespace brackwater::support {

std::string ConfigFileError::display(std::string_view file, std::string_view path) const {
  return concat(file, " at ", path, " could not be ", stage == Stage::kRead ? "read" : "parsed", ": ", detail);
}

std::expected<std::optional<std::string>, ConfigFileError> read_config_text(std::string_view path) {
  auto bytes = read_regular_file(path);
  if (bytes) return *std::move(bytes);
  if (bytes.error().not_found()) return std::nullopt;
  return std::unexpected(ConfigFileError{ConfigFileError::Stage::kRead, bytes.error().text()});
}

std::optional<ConfigFileError> check_config_utf8(std::string_view bytes) {
  auto bad = utf8_error(bytes);
  if (!bad) return std::nullopt;
  return ConfigFileError{ConfigFileError::Stage::kRead, "file is not valid UTF-8 (" + *bad + ")"};
}

}  // namespace brackwater::support
