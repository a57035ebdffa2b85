// `AssetWrapper`: stands in for a decorated function. Calls go straight
// through to the function by vectorcall; the name attributes read through to
// it; the attribute protocol (`__tamso_kind__`, `__tamso_original__`,
// `__tamso_metadata__`) describes the asset.
//
// The wrapper takes part in cyclic garbage collection through its function
// reference: a module namespace holds the wrapper, the wrapper the function
// and the function its globals, which are that namespace, so a dropped
// pipeline module is only ever freed by the collector.
#include <cstddef>
#include <new>

#include "binding/call.hpp"
#include "binding/convert.hpp"
#include "binding/guard.hpp"
#include "declaration/declaration.hpp"
#include "declaration/options.hpp"

#if PY_VERSION_HEX < 0x030C0000
#include <structmember.h>  // before 3.12 the member types live here, after Python.h
#define Py_T_PYSSIZET T_PYSSIZET
#define Py_READONLY READONLY
#endif

namespace tamso::declaration {
namespace {

using py::Error;
using py::Handle;
using py::Ref;
using py::Result;

constexpr const char kWrapperClassDoc[] =
    "The `@asset()` decorator wrapper. Stores the original function and metadata.";
constexpr std::string_view kWrapperModule = "builtins";
constexpr std::string_view kReleased = "the asset's function was released by the garbage collector";

// Standard layout, so that the vectorcall slot's offset can be published.
// The options live in raw storage constructed in place by make_wrapper.
struct WrapperObject {
  PyObject_HEAD
  vectorcallfunc vectorcall;
  PyObject* function;  // strong; NULL only after the collector cleared it
  alignas(Options) unsigned char options_storage[sizeof(Options)];
};

WrapperObject* as_wrapper(PyObject* self) noexcept { return reinterpret_cast<WrapperObject*>(self); }
Options& options_of(PyObject* self) noexcept {
  return *std::launder(reinterpret_cast<Options*>(as_wrapper(self)->options_storage));
}

PyObject* g_wrapper_type = nullptr;  // process lifetime

// The function, or AttributeError when the collector has cleared it (only
// reachable from code that runs while a garbage cycle is being torn down).
Result<Ref> function_of(PyObject* self) {
  PyObject* fn = as_wrapper(self)->function;
  if (fn == nullptr) return Error::raise(PyExc_AttributeError, kReleased);
  return Ref::borrow(fn);
}

// The hot path: no C++ that can throw runs here, and the function's own
// failure is already the pending exception, so only the cleared case takes
// the guard.
PyObject* wrapper_vectorcall(PyObject* self, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
  PyObject* fn = as_wrapper(self)->function;
  if (fn == nullptr) {
    return py::guard([]() -> Result<Ref> { return Error::raise(PyExc_RuntimeError, kReleased); });
  }
  // A Python function checks the depth when its frame starts; anything
  // else (a chain of wrappers around wrappers, say) could recurse in C
  // without passing through that check.
  if (PyFunction_Check(fn)) {
    // A Python function always has a vectorcall entry: it is called straight
    // through it. The interpreter checks what this slot returns, as it
    // checks any call's result, so no second check is made here.
    return PyVectorcall_Function(fn)(fn, args, nargsf, kwnames);
  }
  if (Py_EnterRecursiveCall(" while calling an asset function") != 0) return nullptr;
  Py_INCREF(fn);
  PyObject* result = PyObject_Vectorcall(fn, args, nargsf, kwnames);
  Py_DECREF(fn);
  Py_LeaveRecursiveCall();
  return result;
}

// Never binds: `obj.attr` gives the wrapper itself, whatever obj and owner are.
PyObject* wrapper_descr_get(PyObject* self, PyObject*, PyObject*) {
  Py_INCREF(self);
  return self;
}

int wrapper_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(as_wrapper(self)->function);
  return 0;
}

int wrapper_clear(PyObject* self) {
  Py_CLEAR(as_wrapper(self)->function);
  return 0;
}

void wrapper_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  // Long chains of wrappers around wrappers are torn down iteratively.
  Py_TRASHCAN_BEGIN(self, wrapper_dealloc)
  Py_CLEAR(as_wrapper(self)->function);
  options_of(self).~Options();
  type->tp_free(self);
  Py_DECREF(type);
  Py_TRASHCAN_END
}

PyObject* get_metadata(PyObject* self, void*) {
  return py::guard([&] { return metadata_record(options_of(self)); });
}

PyObject* get_kind(PyObject*, void*) {
  return py::guard([]() -> Result<Ref> { return Ref::borrow(TAMSO_ID("asset")); });
}

PyObject* get_function(PyObject* self, void*) {
  return py::guard([&] { return function_of(self); });
}

// Looks `Name` up on the function at every read; nothing is cached.
template <const char* Name>
PyObject* get_read_through(PyObject* self, void*) {
  return py::guard([&]() -> Result<Ref> {
    TAMSO_TRY(Ref fn, function_of(self));
    if (Py_EnterRecursiveCall(" while reading an asset attribute") != 0) return Error::fetch();
    Result<Ref> value = py::getattr(fn, TAMSO_ID(Name));
    Py_LeaveRecursiveCall();
    return value;
  });
}

constexpr char kName[] = "__name__";
constexpr char kDoc[] = "__doc__";
constexpr char kModule[] = "__module__";
constexpr char kQualname[] = "__qualname__";

PyGetSetDef g_getset[] = {
    {"__tamso_metadata__", get_metadata, nullptr, nullptr, nullptr},
    {"__tamso_kind__", get_kind, nullptr, nullptr, nullptr},
    {"__tamso_original__", get_function, nullptr, nullptr, nullptr},
    {kName, get_read_through<kName>, nullptr, nullptr, nullptr},
    {kDoc, get_read_through<kDoc>, nullptr, nullptr, nullptr},
    {kModule, get_read_through<kModule>, nullptr, nullptr, nullptr},
    {kQualname, get_read_through<kQualname>, nullptr, nullptr, nullptr},
    {"__wrapped__", get_function, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

bool is_name(PyObject* name, PyObject* interned) noexcept {
  if (name == interned) return true;
  if (PyUnicode_CheckExact(name) && PyUnicode_CHECK_INTERNED(name)) return false;  // interned and distinct
  return PyUnicode_Check(name) && PyUnicode_Compare(name, interned) == 0;
}

// The class namespace holds `__module__` ("builtins", what the class itself
// reports) and `__doc__` (the class docstring), and such entries hide the
// instance getters of the same names from ordinary lookup. Instances read
// both through to the function, as they do `__name__` and `__qualname__`.
PyObject* wrapper_getattro(PyObject* self, PyObject* name) {
  if (is_name(name, TAMSO_ID(kModule))) return get_read_through<kModule>(self, nullptr);
  if (is_name(name, TAMSO_ID(kDoc))) return get_read_through<kDoc>(self, nullptr);
  return PyObject_GenericGetAttr(self, name);
}

PyMemberDef g_members[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET, static_cast<Py_ssize_t>(offsetof(WrapperObject, vectorcall)), Py_READONLY,
     nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot g_wrapper_slots[] = {
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(wrapper_descr_get)},
    {Py_tp_getattro, reinterpret_cast<void*>(wrapper_getattro)},
    {Py_tp_getset, g_getset},
    {Py_tp_members, g_members},
    {Py_tp_traverse, reinterpret_cast<void*>(wrapper_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(wrapper_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(wrapper_dealloc)},
    {Py_tp_new, reinterpret_cast<void*>(py::no_constructor)},
    {Py_tp_doc, const_cast<char*>(kWrapperClassDoc)},
    {0, nullptr},
};

PyType_Spec g_wrapper_spec = {
    "builtins.AssetWrapper",
    static_cast<int>(sizeof(WrapperObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL,
    g_wrapper_slots,
};

}  // namespace

Result<Handle> asset_wrapper_type() {
  if (g_wrapper_type == nullptr) {
    TAMSO_TRY(Ref type, py::steal_result(PyType_FromSpec(&g_wrapper_spec)));
    // The `__module__` getter took the class's own `__module__` entry when the
    // type was made; the class reports the module part of its dotted name.
    PyTypeObject* cls = reinterpret_cast<PyTypeObject*>(type.get());
    TAMSO_TRY(Ref module, py::new_str(kWrapperModule));
    TAMSO_CHECK(py::check(PyDict_SetItem(cls->tp_dict, TAMSO_ID(kModule), module.get())));
    // The member only tells the interpreter where the vectorcall slot lives
    // (tp_vectorcall_offset keeps that); as an attribute it would hand every
    // caller the address of native code.
    TAMSO_CHECK(py::check(PyDict_DelItem(cls->tp_dict, TAMSO_ID("__vectorcalloffset__"))));
    PyType_Modified(cls);
    g_wrapper_type = type.release();
  }
  return Handle(g_wrapper_type);
}

Result<Ref> make_wrapper(Handle function, Options options) {
  TAMSO_TRY(Handle type, asset_wrapper_type());
  PyTypeObject* cls = reinterpret_cast<PyTypeObject*>(type.ptr());
  // tp_alloc zeroes the object and starts tracking it; until the fields are
  // set below only a NULL function can be visited.
  TAMSO_TRY(Ref self, py::steal_result(cls->tp_alloc(cls, 0)));
  WrapperObject* w = as_wrapper(self.get());
  new (w->options_storage) Options(std::move(options));
  w->vectorcall = wrapper_vectorcall;
  w->function = Ref::borrow(function).release();
  return self;
}

}  // namespace tamso::declaration
