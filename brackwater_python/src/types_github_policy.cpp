// GitHubPolicy: a read-only snapshot of one resolved policy. It cannot be
// created from Python; every attribute read builds a new tuple, frozenset
// or bool from the stored lists.
#include "box.hpp"
#include "guard.hpp"
#include "types.hpp"

namespace tidemark::types {
namespace {

using brackwater::domain::GitHubPolicy;

template <std::vector<std::string> GitHubPolicy::* Field>
PyObject* tuple_field(PyObject* self, void*) {
  return py_tuple_of_strs(unbox<GitHubPolicy>(self).*Field).release();
}

PyObject* main_branches(PyObject* self, void*) {
  return frozenset_of_strs(unbox<GitHubPolicy>(self).main_branches).release();
}

PyObject* suffix_required(PyObject* self, void*) {
  return py_bool(unbox<GitHubPolicy>(self).pr_title_issue_suffix_required).release();
}

PyGetSetDef policy_getset[] = {
    getter<tuple_field<&GitHubPolicy::pr_title_prefixes>>("pr_title_prefixes"),
    getter<main_branches>("main_branches"),
    getter<suffix_required>("pr_title_issue_suffix_required"),
    getter<tuple_field<&GitHubPolicy::required_sections_issue>>("required_sections_issue"),
    getter<tuple_field<&GitHubPolicy::required_sections_pr>>("required_sections_pr"),
    {},
};

PyType_Slot policy_slots[] = {
    {Py_tp_dealloc, slot<box_dealloc<GitHubPolicy>>()},
    {Py_tp_getset, policy_getset},
    {},
};

PyType_Spec policy_spec = {"brackwater.api.GitHubPolicy", sizeof(Box<GitHubPolicy>), 0, kFinalImmutableNotInstantiable,
                           policy_slots};

}  // namespace

PyRef github_policy_type() {
  static PyObject* type = nullptr;
  return type_once(type, policy_spec);
}

PyRef wrap_github_policy(GitHubPolicy policy) {
  PyRef type = github_policy_type();
  if (!type) return {};
  return box_new(as_type(type), std::move(policy));
}

PyRef frozenset_of_strs(const std::vector<std::string>& items) {
  PyRef set = PyRef::steal(PyFrozenSet_New(nullptr));
  if (!set) return {};
  for (const auto& item : items) {
    PyRef text = py_str(item);
    if (!text || PySet_Add(set.get(), text.get()) < 0) return {};
  }
  return set;
}

}  // namespace tidemark::types
