// Reading a small configuration file that another tool wrote: a regular
// file only (files.hpp), its bytes valid UTF-8, then parsed by the caller's
// parser. A missing file is not an error: the caller falls back to its
// defaults.
//
// Parsers report where they stopped as "line L column C" (text_position.hpp),
// made from the byte offset or the line and column they give.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

namespace brackwater::support {

struct ConfigFileError {
  enum class Stage : std::uint8_t {
    kRead,   // the file exists but could not be read, or is not UTF-8
    kParse,  // the parser refused the text
  };
  Stage stage;
  // kRead: the OS error text, "not a regular file", or
  // "file is not valid UTF-8 (<where>)"; kParse: the parser's text.
  std::string detail;

  // "<file> at <path> could not be read: <detail>" (or "parsed").
  std::string display(std::string_view file, std::string_view path) const;
};

// The file's text; nullopt when it does not exist.
[[nodiscard]] std::expected<std::optional<std::string>, ConfigFileError> read_config_text(std::string_view path);

// nullopt when `bytes` are valid UTF-8, else the kRead error saying where
// they are not.
[[nodiscard]] std::optional<ConfigFileError> check_config_utf8(std::string_view bytes);

// `parse(text)` of valid UTF-8 `bytes`. `parse` returns
// std::expected<T, std::string>, the error being the parser's text.
template <class Parse>
[[nodiscard]] auto parse_config_text(std::string_view bytes, Parse&& parse)
    -> std::expected<typename std::invoke_result_t<Parse, std::string_view>::value_type, ConfigFileError> {
  if (auto bad = check_config_utf8(bytes)) return std::unexpected(*std::move(bad));
  auto parsed = std::forward<Parse>(parse)(bytes);
  if (!parsed) return std::unexpected(ConfigFileError{ConfigFileError::Stage::kParse, std::move(parsed.error())});
  return *std::move(parsed);
}

// The parsed file at `path`; nullopt when it does not exist.
template <class Parse>
[[nodiscard]] auto read_config_file(std::string_view path, Parse&& parse)
    -> std::expected<std::optional<typename std::invoke_result_t<Parse, std::string_view>::value_type>,
                     ConfigFileError> {
  auto text = read_config_text(path);
  if (!text) return std::unexpected(std::move(text.error()));
  if (!*text) return std::nullopt;
  auto parsed = parse_config_text(**text, std::forward<Parse>(parse));
  if (!parsed) return std::unexpected(std::move(parsed.error()));
  return *std::move(parsed);
}

}  // namespace brackwater::support
