// Argument binding: fast-call arguments into one slot per parameter, with the
// exact TypeError texts for every way a call can fail to bind.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>

#include "binding/error.hpp"

namespace tamso::py {

struct KeywordParam {
  std::string_view name;
  bool required = false;
};

// Description of one function's parameters: plain data, one per function.
struct Signature {
  std::string_view class_name = {};            // empty unless a method
  std::string_view name = {};                  // function or method name
  std::span<const std::string_view> positional = {};  // by position or keyword
  std::size_t positional_only = 0;             // leading positional parameters not nameable
  std::size_t required = 0;                    // leading positional parameters that must be given
  std::span<const KeywordParam> keyword_only = {};

  std::size_t slot_count() const noexcept { return positional.size() + keyword_only.size(); }
  std::string display_name() const;  // "name()" or "Class.name()"
};

// Binds the vectorcall arguments into `slots` (slot_count() entries, borrowed,
// NULL when not given): positional parameters first, then keyword-only ones.
Status bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames,
            PyObject** slots);

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'".
std::string join_names(std::span<const std::string_view> names);

}  // namespace tamso::py
