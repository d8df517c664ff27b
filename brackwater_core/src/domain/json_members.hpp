// The members of a parsed JSON object in the order nlohmann-json keeps them:
// keys in byte order, a key given twice once, with its last value. Used by
// the writers that copy simdjson values out as text without building a
// value tree.
#pragma once

#include <simdjson.h>

#include <algorithm>
#include <string_view>
#include <vector>

namespace brackwater::domain {

// Calls visit(key, value) for each member of `object` in that order. An
// object whose keys already stand strictly ascending (as in every object
// this system wrote) is walked as it is, without sorting.
// Writers recurse through it, as deep as the parser admits (its depth limit).
template <class Visit>
void for_each_member_in_key_order(simdjson::dom::object object, Visit&& visit) {  // NOLINT(misc-no-recursion)
  bool ascending = true;
  bool first = true;
  std::string_view previous;
  for (simdjson::dom::key_value_pair member : object) {
    if (!first && !(previous < member.key)) {
      ascending = false;
      break;
    }
    previous = member.key;
    first = false;
  }
  if (ascending) {
    for (simdjson::dom::key_value_pair member : object) visit(member.key, member.value);
    return;
  }
  std::vector<simdjson::dom::key_value_pair> members;
  for (simdjson::dom::key_value_pair member : object) members.push_back(member);
  std::ranges::stable_sort(members, {}, &simdjson::dom::key_value_pair::key);
  for (size_t i = 0; i < members.size(); ++i) {
    if (i + 1 < members.size() && members[i + 1].key == members[i].key) continue;  // a later one wins
    visit(members[i].key, members[i].value);
  }
}

}  // namespace brackwater::domain
