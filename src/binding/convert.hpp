// Conversions of argument values into the operations' own types, the texts
// that describe objects and exceptions, and the guarded dict walk.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "binding/error.hpp"

namespace tamso::py {

// Conversion targets named in conversion errors.
inline constexpr std::string_view kTargetString = "PyString";
inline constexpr std::string_view kTargetList = "PyList";
inline constexpr std::string_view kTargetDict = "PyDict";
inline constexpr std::string_view kTargetTuple = "PyTuple";
inline constexpr std::string_view kTargetSequence = "Sequence";

// TypeError "'{type}' object cannot be converted to '{target}'".
Error conversion_error(Handle obj, std::string_view target);

// The argument error rule: an exact TypeError becomes
// "argument '{name}': {text}" keeping the original's __cause__; anything else
// passes through.
Error argument_error(std::string_view name, Error error);

template <class T>
Result<T> argument(std::string_view name, Result<T> converted) {
  if (!converted) return argument_error(name, std::move(converted).error());
  return converted;
}

// A str (or subclass) as UTF-8. The view lives as long as the object.
Result<std::string_view> text(Handle obj);
// None or absent gives no text.
Result<std::optional<std::string_view>> optional_text(Handle obj);
// A list or list subclass: the object itself.
Result<Handle> list(Handle obj);
// A dict or dict subclass: the object itself.
Result<Handle> dict(Handle obj);
// Any sequence except a str, iterated, every item a str.
Result<std::vector<std::string>> text_list(Handle obj);

// A new str from UTF-8 bytes.
Result<Ref> new_str(std::string_view utf8);

// UTF-8 of a str; where it holds lone surrogates, each becomes U+FFFD per
// UTF-8 byte it would have taken (three for a surrogate).
std::string lossy_text(Handle str);
// str() of the object, lossily; "<unprintable T object>" when str() raises.
std::string object_display_text(Handle obj);
// "{type.__qualname__}: {str(exc)}", or ": <exception str() failed>".
std::string exception_display_text(Handle exc);
// The type's __qualname__, or "<failed to extract type name>".
std::string type_qualname(PyTypeObject* type);

// Walks a dict through its own storage and turns a change of the dict during
// the walk into an internal failure rather than undefined behaviour.
class DictWalk {
 public:
  explicit DictWalk(Handle dict) noexcept;
  // True with the next entry, false at the end, or an internal failure.
  Result<bool> next(Ref& key, Ref& value);

 private:
  PyObject* dict_;
  Py_ssize_t pos_ = 0;
  Py_ssize_t size_;
  Py_ssize_t remaining_;
  bool failed_ = false;
};

// tp_new of classes that have no constructor: TypeError
// "No constructor defined for {name}".
PyObject* no_constructor(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept;

}  // namespace tamso::py
