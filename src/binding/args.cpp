#include "binding/args.hpp"

#include <string>
#include <vector>

#include "binding/convert.hpp"

namespace tamso::py {

std::string Signature::display_name() const {
  std::string out;
  if (!class_name.empty()) {
    out += class_name;
    out += '.';
  }
  out += name;
  out += "()";
  return out;
}

std::string join_names(std::span<const std::string_view> names) {
  std::string out;
  const std::size_t n = names.size();
  for (std::size_t i = 0; i < n; ++i) {
    if (i > 0) {
      if (n == 2) {
        out += " and ";
      } else if (i == n - 1) {
        out += ", and ";
      } else {
        out += ", ";
      }
    }
    out += '\'';
    out += names[i];
    out += '\'';
  }
  return out;
}

namespace {

Error type_error(const std::string& text) { return Error::raise(PyExc_TypeError, text); }

Error too_many_positional(const Signature& sig, Py_ssize_t given) {
  std::string text = sig.display_name();
  const std::size_t count = sig.positional.size();
  if (sig.required == count) {
    text += " takes " + std::to_string(count);
  } else {
    text += " takes from " + std::to_string(sig.required) + " to " + std::to_string(count);
  }
  text += " positional arguments but " + std::to_string(given) + (given == 1 ? " was" : " were") + " given";
  return type_error(text);
}

Error missing(const Signature& sig, const char* kind, std::span<const std::string_view> names) {
  std::string text = sig.display_name() + " missing " + std::to_string(names.size()) + " required " + kind +
                     (names.size() == 1 ? " argument: " : " arguments: ") + join_names(names);
  return type_error(text);
}

// The keyword's UTF-8 text, or an empty view with `ok` false when it has none
// (a keyword holding a lone surrogate matches no parameter).
std::string_view keyword_text(PyObject* key, bool& ok) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_Check(key) ? PyUnicode_AsUTF8AndSize(key, &size) : nullptr;
  if (data == nullptr) {
    PyErr_Clear();
    ok = false;
    return {};
  }
  ok = true;
  return {data, static_cast<std::size_t>(size)};
}

}  // namespace

Status bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames,
            PyObject** slots) {
  const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
  const std::size_t npos = sig.positional.size();
  if (static_cast<std::size_t>(nargs) > npos) return too_many_positional(sig, nargs);
  for (Py_ssize_t i = 0; i < nargs; ++i) slots[i] = args[i];

  std::vector<std::string_view> positional_only_given;
  const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, k);
    PyObject* value = args[nargs + k];
    bool has_text = false;
    const std::string_view text = keyword_text(key, has_text);
    bool found = false;
    if (has_text) {
      for (std::size_t j = 0; j < sig.keyword_only.size() && !found; ++j) {
        if (sig.keyword_only[j].name != text) continue;
        found = true;
        PyObject*& slot = slots[npos + j];
        if (slot != nullptr) {
          return type_error(sig.display_name() + " got multiple values for argument '" + std::string(text) + "'");
        }
        slot = value;
      }
      for (std::size_t j = 0; j < npos && !found; ++j) {
        if (sig.positional[j] != text) continue;
        found = true;
        if (j < sig.positional_only) {
          positional_only_given.push_back(sig.positional[j]);
        } else if (slots[j] != nullptr) {
          return type_error(sig.display_name() + " got multiple values for argument '" + std::string(text) + "'");
        } else {
          slots[j] = value;
        }
      }
    }
    if (!found) {
      return type_error(sig.display_name() + " got an unexpected keyword argument '" + object_display_text(key) +
                        "'");
    }
  }
  if (!positional_only_given.empty()) {
    return type_error(sig.display_name() + " got some positional-only arguments passed as keyword arguments: " +
                      join_names(positional_only_given));
  }

  std::vector<std::string_view> absent;
  for (std::size_t j = 0; j < sig.required; ++j) {
    if (slots[j] == nullptr) absent.push_back(sig.positional[j]);
  }
  if (!absent.empty()) return missing(sig, "positional", absent);
  for (std::size_t j = 0; j < sig.keyword_only.size(); ++j) {
    if (sig.keyword_only[j].required && slots[npos + j] == nullptr) absent.push_back(sig.keyword_only[j].name);
  }
  if (!absent.empty()) return missing(sig, "keyword", absent);
  return ok();
}

}  // namespace tamso::py
