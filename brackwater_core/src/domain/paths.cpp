#include "domain/paths.hpp"

#include <sha1.h>
#include <sys/stat.h>

#include <array>
#include <cstdint>
#include <span>

#include "domain/path_resolver.hpp"
#include "support/concat.hpp"
#include "support/env.hpp"
#include "support/path_join.hpp"
#include "support/text.hpp"

namespace brackwater::domain {
namespace {

std::optional<std::string> home_variable() {
  if (auto home = support::env_utf8("HOME")) return home;
  return support::env_utf8("USERPROFILE");
}

}  // namespace

bool path_exists(std::string_view path) {
  if (path.empty() || path.find('\0') != std::string_view::npos) return false;
  struct stat st;
  return ::stat(std::string(path).c_str(), &st) == 0;
}

std::string normalize_path(std::string_view path) { return PathResolver(/*remember=*/false).normalize(path); }

bool paths_equal(std::string_view a, std::string_view b) { return normalize_path(a) == normalize_path(b); }

std::string path_fingerprint(std::string_view path) {
  const std::string normalized = normalize_path(path);
  SHA1_CTX ctx;
  SHA1Init(&ctx);
  SHA1Update(&ctx, reinterpret_cast<const uint8_t*>(normalized.data()), normalized.size());
  std::array<uint8_t, SHA1_DIGEST_LENGTH> digest;
  SHA1Final(digest.data(), &ctx);
  // The fingerprint is the first six bytes of the digest, in hex.
  constexpr size_t kFingerprintBytes = 6;
  std::string hex;
  hex.reserve(2 * kFingerprintBytes);
  for (const uint8_t byte : std::span(digest).first<kFingerprintBytes>()) hex += support::hex_lower(byte, 2);
  return hex;
}

std::string expanduser(std::string_view path) {
  if (!path.starts_with('~')) return std::string(path);
  const auto home = home_variable();
  if (!home || home->empty()) return std::string(path);
  std::string_view rest = path.substr(1);
  while (!rest.empty() && (rest.front() == '/' || rest.front() == '\\')) rest.remove_prefix(1);
  std::string out = *home;
  if (!out.ends_with('/')) out += '/';
  out += rest;
  return out;
}

std::string home_dir(const std::optional<std::string>& home) {
  if (home) return expanduser(*home);
  if (auto value = support::env_non_empty("HOME")) return expanduser(*value);
  if (auto value = support::env_non_empty("USERPROFILE")) return expanduser(*value);
  return ".";
}

std::string home_worktree_base(const std::optional<std::string>& project_id, const std::optional<std::string>& home) {
  const std::string_view id = project_id && !project_id->empty() ? std::string_view(*project_id) : kDefaultProjectId;
  return support::join_path(home_dir(home), {".plowline", "worktrees", id});
}

std::expected<std::string, ProjectIdError> validate_project_id(std::string_view id) {
  auto lower = [](char c) { return c >= 'a' && c <= 'z'; };
  auto digit = [](char c) { return c >= '0' && c <= '9'; };
  bool ok = !id.empty() && id.size() <= 64 && lower(id.front());
  for (size_t i = 1; ok && i < id.size(); ++i) {
    const char c = id[i];
    ok = lower(c) || digit(c) || c == '_' || c == '-';
  }
  if (ok) return std::string(id);
  return std::unexpected(
      ProjectIdError{support::concat("project_id ", support::quote_literal(id),
                                     " does not match the normative pattern '^[a-z][a-z0-9_-]{0,63}$'"),
                     kProjectIdInvalidCode});
}

}  // namespace brackwater::domain
