// `partitions(values)` and its `Partitions` marker: every value is normalised
// through the interpreter's `json.dumps` and our reader, so the marker holds
// JSON values and never the caller's objects.
#include "declaration/partitions.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <new>
#include <string>

#include "binding/args.hpp"
#include "binding/call.hpp"
#include "binding/convert.hpp"
#include "binding/guard.hpp"
#include "declaration/declaration.hpp"
#include "json/reader.hpp"

namespace tamso::declaration {
namespace {

using py::Error;
using py::Handle;
using py::Ref;
using py::Result;

constexpr const char kPartitionsClassDoc[] = "Marker type returned by `partitions([...])`. Stores the static values.";
constexpr std::string_view kInvalidValue = "invalid partition value: ";

struct PartitionsObject {
  PyObject_HEAD
  std::vector<json::Value> values;
};

PyObject* g_partitions_type = nullptr;  // process lifetime

void partitions_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  reinterpret_cast<PartitionsObject*>(self)->values.~vector();
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* partitions_repr(PyObject* self) {
  return py::guard([&]() -> Result<Ref> {
    const auto count = reinterpret_cast<PartitionsObject*>(self)->values.size();
    return py::new_str("Partitions(" + std::to_string(count) + " values)");
  });
}

PyType_Slot g_partitions_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(partitions_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(partitions_repr)},
    {Py_tp_new, reinterpret_cast<void*>(py::no_constructor)},
    {Py_tp_doc, const_cast<char*>(kPartitionsClassDoc)},
    {0, nullptr},
};

PyType_Spec g_partitions_spec = {
    "builtins.Partitions",
    static_cast<int>(sizeof(PartitionsObject)),
    0,
    Py_TPFLAGS_DEFAULT,
    g_partitions_slots,
};

constexpr std::array<std::string_view, 1> kValuesParams{"values"};
constexpr py::Signature kPartitionsSignature{.name = "partitions", .positional = kValuesParams, .required = 1};

// The value that `json.dumps` followed by our reader gives for the common
// scalar types, computed directly. Returns false when the item must take the
// general road (other types, huge integers, non-finite floats, strings with
// lone surrogates), so every refusal keeps its exact message.
bool scalar_value(PyObject* item, json::Value& out) {
  if (item == Py_None) {
    out = json::Value::null();
  } else if (item == Py_True || item == Py_False) {
    out = json::Value::boolean(item == Py_True);
  } else if (PyUnicode_CheckExact(item)) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(item, &size);
    if (data == nullptr) {
      PyErr_Clear();
      return false;
    }
    out = json::Value::string(std::string(data, static_cast<std::size_t>(size)));
  } else if (PyLong_CheckExact(item)) {
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(item, &overflow);
    if (overflow == 0) {
      out = json::Value::integer(v);
    } else if (overflow > 0) {
      const unsigned long long u = PyLong_AsUnsignedLongLong(item);
      if (u == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        PyErr_Clear();
        return false;
      }
      out = json::Value::uinteger(u);
    } else {
      return false;
    }
  } else if (PyFloat_CheckExact(item)) {
    const double d = PyFloat_AS_DOUBLE(item);
    if (!std::isfinite(d)) return false;
    out = json::Value::number(d);  // repr() is the shortest round trip: reading it back gives d
  } else {
    return false;
  }
  return true;
}

// True when `dumps` is the json module's own `dumps` encoding with the
// module's default encoder: then the scalar fast path gives exactly what the
// general road would. A replacement (a test's stand-in, a wrapper) is
// defined elsewhere and takes the general road.
Result<bool> is_plain_dumps(Handle json_module, Handle dumps) {
  if (!PyFunction_Check(dumps.ptr())) return false;
  PyObject* namespace_ = PyModule_Check(json_module.ptr()) ? PyModule_GetDict(json_module.ptr()) : nullptr;
  if (namespace_ == nullptr || PyFunction_GET_GLOBALS(dumps.ptr()) != namespace_) return false;
  auto* code = reinterpret_cast<PyCodeObject*>(PyFunction_GET_CODE(dumps.ptr()));
  if (PyUnicode_CompareWithASCIIString(code->co_name, "dumps") != 0) return false;
  PyObject* encoder = PyDict_GetItemWithError(namespace_, TAMSO_ID("_default_encoder"));
  PyObject* encoder_class = PyDict_GetItemWithError(namespace_, TAMSO_ID("JSONEncoder"));
  if (PyErr_Occurred()) return Error::fetch();
  return encoder != nullptr && encoder_class != nullptr &&
         reinterpret_cast<PyObject*>(Py_TYPE(encoder)) == encoder_class;
}

Result<json::Value> normalise(Handle dumps, bool plain_dumps, Handle item) {
  json::Value value;
  if (plain_dumps && scalar_value(item.ptr(), value)) return value;
  TAMSO_TRY(Ref dumped, py::call(dumps, item));
  TAMSO_TRY(std::string_view text, py::text(dumped));
  json::ReadError error;
  if (!json::read(text, value, error)) {
    return Error::raise(PyExc_ValueError, std::string(kInvalidValue) + error.text());
  }
  return value;
}

Result<Ref> make_partitions(std::vector<json::Value> values) {
  TAMSO_TRY(Handle type, partitions_type());
  PyTypeObject* cls = reinterpret_cast<PyTypeObject*>(type.ptr());
  TAMSO_TRY(Ref self, py::steal_result(cls->tp_alloc(cls, 0)));
  new (&reinterpret_cast<PartitionsObject*>(self.get())->values) std::vector<json::Value>(std::move(values));
  return self;
}

Result<Ref> partitions_impl(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  PyObject* slots[1] = {nullptr};
  TAMSO_CHECK(py::bind(kPartitionsSignature, args, nargsf, kwnames, slots));
  TAMSO_TRY(Handle list, py::argument("values", py::list(slots[0])));

  TAMSO_TRY(Ref json_module, py::import(TAMSO_ID("json")));
  TAMSO_TRY(Ref dumps, py::getattr(json_module, TAMSO_ID("dumps")));
  TAMSO_TRY(const bool plain_dumps, is_plain_dumps(json_module, dumps));

  // Items are read from the list's own storage; `json.dumps` may run user
  // code that resizes the list, so the bound is re-checked before every step.
  const Py_ssize_t start_size = PyList_GET_SIZE(list.ptr());
  std::vector<json::Value> values;
  values.reserve(static_cast<std::size_t>(start_size));
  for (Py_ssize_t i = 0; i < std::min(start_size, PyList_GET_SIZE(list.ptr())); ++i) {
    Ref item = Ref::borrow(PyList_GET_ITEM(list.ptr(), i));
    TAMSO_TRY(json::Value value, normalise(dumps, plain_dumps, item));
    values.push_back(std::move(value));
  }
  return make_partitions(std::move(values));
}

}  // namespace

Result<Handle> partitions_type() {
  if (g_partitions_type == nullptr) {
    TAMSO_TRY(Ref type, py::steal_result(PyType_FromSpec(&g_partitions_spec)));
    g_partitions_type = type.release();
  }
  return Handle(g_partitions_type);
}

bool is_partitions(Handle obj) noexcept {
  return g_partitions_type != nullptr &&
         PyObject_TypeCheck(obj.ptr(), reinterpret_cast<PyTypeObject*>(g_partitions_type));
}

const std::vector<json::Value>& partitions_values(Handle obj) noexcept {
  return reinterpret_cast<PartitionsObject*>(obj.ptr())->values;
}

PyObject* py_partitions(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return py::guard([&] { return partitions_impl(args, nargsf, kwnames); });
}

}  // namespace tamso::declaration
