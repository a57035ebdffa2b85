#include "binding/convert.hpp"

#include <algorithm>

#include "binding/guard.hpp"

namespace tamso::py {

std::string type_qualname(PyTypeObject* type) {
  Ref name = Ref::steal(PyType_GetQualName(type));
  if (!name || !PyUnicode_Check(name.get())) {
    PyErr_Clear();
    return "<failed to extract type name>";
  }
  return lossy_text(name);
}

Error conversion_error(Handle obj, std::string_view target) {
  std::string text = "'";
  text += type_qualname(Py_TYPE(obj.ptr()));
  text += "' object cannot be converted to '";
  text += target;
  text += '\'';
  return Error::raise(PyExc_TypeError, text);
}

Error argument_error(std::string_view name, Error error) {
  if (!error.is_exactly(PyExc_TypeError)) return error;
  std::string text = "argument '";
  text += name;
  text += "': ";
  text += object_display_text(error.value());
  Error replaced = Error::raise(PyExc_TypeError, text);
  if (replaced.is_exactly(PyExc_TypeError)) {
    if (PyObject* cause = PyException_GetCause(error.value().ptr())) {
      PyException_SetCause(replaced.value().ptr(), cause);  // steals the new reference
    }
  }
  return replaced;
}

Result<std::string_view> text(Handle obj) {
  if (!PyUnicode_Check(obj.ptr())) return conversion_error(obj, kTargetString);
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(obj.ptr(), &size);
  if (data == nullptr) return Error::fetch();
  return std::string_view(data, static_cast<std::size_t>(size));
}

Result<std::optional<std::string_view>> optional_text(Handle obj) {
  if (!obj || obj.is_none()) return std::optional<std::string_view>{};
  TAMSO_TRY(std::string_view t, text(obj));
  return std::optional<std::string_view>(t);
}

Result<Handle> list(Handle obj) {
  if (!PyList_Check(obj.ptr())) return conversion_error(obj, kTargetList);
  return obj;
}

Result<Handle> dict(Handle obj) {
  if (!PyDict_Check(obj.ptr())) return conversion_error(obj, kTargetDict);
  return obj;
}

Result<std::vector<std::string>> text_list(Handle obj) {
  if (PyUnicode_Check(obj.ptr())) return Error::raise(PyExc_TypeError, "Can't extract `str` to `Vec`");
  if (!PySequence_Check(obj.ptr())) return conversion_error(obj, kTargetSequence);
  std::vector<std::string> out;
  // The size is only a hint and comes from user code: a `__len__` that
  // claims billions of items must not make the reservation fail, so past a
  // modest bound the vector grows as the items actually arrive.
  constexpr Py_ssize_t kMaxReserved = 4096;
  const Py_ssize_t hint = PySequence_Size(obj.ptr());
  if (hint < 0) {
    TAMSO_CHECK(discard_pending());  // but never our own failure coming back
  } else {
    out.reserve(static_cast<std::size_t>(std::min(hint, kMaxReserved)));
  }
  TAMSO_TRY(Ref iter, steal_result(PyObject_GetIter(obj.ptr())));
  while (true) {
    Ref item = Ref::steal(PyIter_Next(iter.get()));
    if (!item) {
      if (PyErr_Occurred()) return Error::fetch();
      break;
    }
    TAMSO_TRY(std::string_view t, text(item));
    out.emplace_back(t);
  }
  return out;
}

Result<Ref> new_str(std::string_view utf8) {
  return steal_result(PyUnicode_FromStringAndSize(utf8.data(), static_cast<Py_ssize_t>(utf8.size())));
}

std::string lossy_text(Handle str) {
  Py_ssize_t size = 0;
  if (const char* data = PyUnicode_AsUTF8AndSize(str.ptr(), &size)) {
    return std::string(data, static_cast<std::size_t>(size));
  }
  PyErr_Clear();
  // Encode by hand: a surrogate code point would take three UTF-8 bytes, each
  // of which is an ill-formed subpart on its own, so it gives three U+FFFD.
  std::string out;
  const Py_ssize_t length = PyUnicode_GET_LENGTH(str.ptr());
  const int kind = PyUnicode_KIND(str.ptr());
  const void* data = PyUnicode_DATA(str.ptr());
  out.reserve(static_cast<std::size_t>(length) + 8);
  for (Py_ssize_t i = 0; i < length; ++i) {
    const Py_UCS4 c = PyUnicode_READ(kind, data, i);
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      out += "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD";
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

std::string object_display_text(Handle obj) {
  Ref text = Ref::steal(PyObject_Str(obj.ptr()));
  if (text) return lossy_text(text);
  PyErr_WriteUnraisable(obj.ptr());
  Ref name = Ref::steal(PyType_GetName(Py_TYPE(obj.ptr())));
  if (!name || !PyUnicode_Check(name.get())) {
    PyErr_Clear();
    return "<unprintable object>";
  }
  return "<unprintable " + lossy_text(name) + " object>";
}

std::string exception_display_text(Handle exc) {
  std::string out = type_qualname(Py_TYPE(exc.ptr()));
  Ref text = Ref::steal(PyObject_Str(exc.ptr()));
  if (!text) {
    PyErr_Clear();
    out += ": <exception str() failed>";
    return out;
  }
  out += ": ";
  out += lossy_text(text);
  return out;
}

DictWalk::DictWalk(Handle dict) noexcept
    : dict_(dict.ptr()), size_(PyDict_GET_SIZE(dict.ptr())), remaining_(PyDict_GET_SIZE(dict.ptr())) {}

Result<bool> DictWalk::next(Ref& key, Ref& value) {
  if (failed_ || PyDict_GET_SIZE(dict_) != size_) {
    failed_ = true;
    return Error::internal("dictionary changed size during iteration");
  }
  if (remaining_ < 0) {
    failed_ = true;
    return Error::internal("dictionary keys changed during iteration");
  }
  PyObject *k = nullptr, *v = nullptr;
  if (!PyDict_Next(dict_, &pos_, &k, &v)) return false;
  --remaining_;
  // User code may run before the caller is done with the entry, and may drop
  // the dict's own references: hold our own.
  key = Ref::borrow(k);
  value = Ref::borrow(v);
  return true;
}

PyObject* no_constructor(PyTypeObject* type, PyObject*, PyObject*) noexcept {
  return guard([&]() -> Result<Ref> {
    std::string name = "<unknown>";
    if (Ref n = Ref::steal(PyType_GetName(type)); n && PyUnicode_Check(n.get())) {
      name = lossy_text(n);
    } else {
      PyErr_Clear();
    }
    return Error::raise(PyExc_TypeError, "No constructor defined for " + name);
  });
}

}  // namespace tamso::py
