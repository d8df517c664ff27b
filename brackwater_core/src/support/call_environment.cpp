#include "support/call_environment.hpp"

#include <unistd.h>

#include <cstring>

namespace brackwater::support {
namespace {

thread_local CallEnvironment* current_call = nullptr;

}  // namespace

EnvironmentCopy EnvironmentCopy::of_process() {
  EnvironmentCopy copy;
  size_t count = 0;
  size_t bytes = 0;
  for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry, ++count) {
    bytes += std::strlen(*entry) + 1;
  }
  copy.text_.reserve(bytes);
  copy.starts_.reserve(count);
  for (size_t i = 0; i < count; ++i) {
    copy.starts_.push_back(copy.text_.size());
    copy.text_.append(environ[i]);
    copy.text_.push_back('\0');
  }
  return copy;
}

EnvironmentCopy EnvironmentCopy::of_call() {
  if (const CallEnvironment* call = CallEnvironment::current()) return call->environment();
  return of_process();
}

void EnvironmentCopy::entries(std::vector<char*>& out) {
  out.clear();
  out.reserve(starts_.size() + 1);
  for (const size_t start : starts_) out.push_back(text_.data() + start);
  out.push_back(nullptr);
}

std::optional<std::string_view> EnvironmentCopy::first(std::string_view name) const noexcept {
  for (const size_t start : starts_) {
    const std::string_view entry(text_.data() + start);
    if (entry.size() > name.size() && entry.starts_with(name) && entry[name.size()] == '=') {
      return entry.substr(name.size() + 1);
    }
  }
  return std::nullopt;
}

CallEnvironment::CallEnvironment() : environment_(EnvironmentCopy::of_process()), outer_(current_call) {
  current_call = this;
}

CallEnvironment::~CallEnvironment() { current_call = outer_; }

CallEnvironment* CallEnvironment::current() noexcept { return current_call; }

CallEnvironment& CallEnvironment::current_or(std::optional<CallEnvironment>& own) {
  if (current_call != nullptr) return *current_call;
  return own.emplace();
}

}  // namespace brackwater::support
