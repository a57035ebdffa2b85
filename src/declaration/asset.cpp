// `asset(*, name=None, inputs=None, partitions=None, serializer=None)`: checks
// and normalises the options at once and returns the `asset_decorator`
// built-in, whose bound self is a small holder owning those options. Each
// application of the decorator wraps its one argument in an AssetWrapper with
// a private copy of the options.
#include <array>
#include <new>
#include <string>
#include <string_view>
#include <unordered_map>

#include "binding/args.hpp"
#include "binding/call.hpp"
#include "binding/convert.hpp"
#include "binding/guard.hpp"
#include "declaration/declaration.hpp"
#include "declaration/options.hpp"
#include "declaration/partitions.hpp"

namespace tamso::declaration {
namespace {

using py::Error;
using py::Handle;
using py::Ref;
using py::Result;

constexpr std::string_view kBadInput = "inputs values must be @asset-decorated functions or asset ref strings";
constexpr std::string_view kBadPartition = "partition values must be partitions([...]) instances";
constexpr std::string_view kDecoratorArity = "asset() decorator expects exactly one argument (the function)";

constexpr std::array<py::KeywordParam, 4> kAssetKeywords{{{"name"}, {"inputs"}, {"partitions"}, {"serializer"}}};
constexpr py::Signature kAssetSignature{.name = "asset", .keyword_only = kAssetKeywords};

// ---- text -------------------------------------------------------------------

// A str (or subclass) as an exact str with the same text: the object itself
// when it is exact, a fresh str otherwise.
Result<Ref> exact_text(Handle obj) {
  TAMSO_TRY(std::string_view text, py::text(obj));
  if (PyUnicode_CheckExact(obj.ptr())) return Ref::borrow(obj);
  return py::new_str(text);
}

// As exact_text; absent or None gives an empty Ref.
Result<Ref> optional_exact_text(Handle obj) {
  if (!obj || obj.is_none()) return Ref();
  return exact_text(obj);
}

// UTF-8 of a str already accepted by exact_text (cached inside it).
std::string_view utf8_of(Handle str) noexcept {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(str.ptr(), &size);
  return {data, static_cast<std::size_t>(size)};
}

// Dict keys are unique as objects, but str subclasses with their own
// equality and hash can make two keys with the same text. Of such keys the
// later one wins, as a map insert would have it.
template <class V>
void keep_last_of_equal_keys(std::vector<std::pair<Ref, V>>& entries) {
  std::unordered_map<std::string_view, std::size_t> last;
  last.reserve(entries.size());
  for (std::size_t i = 0; i < entries.size(); ++i) last[utf8_of(entries[i].first)] = i;
  if (last.size() == entries.size()) return;
  std::vector<std::pair<Ref, V>> kept;
  kept.reserve(last.size());
  for (std::size_t i = 0; i < entries.size(); ++i) {
    if (last[utf8_of(entries[i].first)] == i) kept.push_back(std::move(entries[i]));
  }
  entries = std::move(kept);
}

// ---- inputs -----------------------------------------------------------------

// True when `value` declares itself an asset. The lookup's own failure only
// makes it a non-asset; our internal failure coming back is still an error.
Result<bool> is_asset(Handle value) {
  if (PyUnicode_CheckExact(value.ptr())) return false;  // a plain str has no such attribute
  TAMSO_TRY(Ref kind, py::getattr_or_empty(value, TAMSO_ID("__tamso_kind__")));
  return kind && PyUnicode_Check(kind.get()) && PyUnicode_CompareWithASCIIString(kind.get(), "asset") == 0;
}

// "<resolved source file>:<function __name__>" of an asset input.
Result<Ref> asset_reference(Handle value) {
  TAMSO_TRY(Ref original, py::getattr_or_empty(value, TAMSO_ID("__tamso_original__")));
  const Handle upstream = original ? original.handle() : value;
  TAMSO_TRY(Ref inspect, py::import(TAMSO_ID("inspect")));
  TAMSO_TRY(Ref pathlib, py::import(TAMSO_ID("pathlib")));
  TAMSO_TRY(Ref getsourcefile, py::getattr(inspect, TAMSO_ID("getsourcefile")));
  TAMSO_TRY(Ref source_file, py::call(getsourcefile, upstream));
  TAMSO_TRY(Ref path_type, py::getattr(pathlib, TAMSO_ID("Path")));
  TAMSO_TRY(Ref path, py::call(path_type, source_file.handle()));
  TAMSO_TRY(Ref resolved, py::call_method(path, TAMSO_ID("resolve")));
  TAMSO_TRY(Ref resolved_str, py::steal_result(PyObject_Str(resolved.get())));
  TAMSO_TRY(std::string_view path_text, py::text(resolved_str));
  TAMSO_TRY(Ref name, py::getattr(upstream, TAMSO_ID("__name__")));
  TAMSO_TRY(std::string_view name_text, py::text(name));
  std::string reference;
  reference.reserve(path_text.size() + 1 + name_text.size());
  reference += path_text;
  reference += ':';
  reference += name_text;
  return py::new_str(reference);
}

Result<Ref> input_reference(Handle value) {
  TAMSO_TRY(bool asset, is_asset(value));
  if (asset) return asset_reference(value);
  Result<Ref> text = exact_text(value);
  if (!text && !text.error().is_internal()) return Error::raise(PyExc_TypeError, kBadInput);
  return text;
}

// Walks an option dict through its own storage: every key must be text, and
// `convert` turns each value into the map's entry (the first failure, in the
// dict's order, decides the error).
template <class V, class Convert>
Result<std::vector<std::pair<Ref, V>>> convert_map(Handle obj, Convert convert) {
  TAMSO_TRY(Handle dict, py::dict(obj));
  std::vector<std::pair<Ref, V>> entries;
  entries.reserve(static_cast<std::size_t>(PyDict_GET_SIZE(dict.ptr())));
  bool subclass_keys = false;
  py::DictWalk walk(dict);
  Ref key, value;
  while (true) {
    TAMSO_TRY(bool more, walk.next(key, value));
    if (!more) break;
    subclass_keys |= !PyUnicode_CheckExact(key.get());
    TAMSO_TRY(Ref text, exact_text(key));
    TAMSO_TRY(V entry, convert(value.handle()));
    entries.emplace_back(std::move(text), std::move(entry));
  }
  if (subclass_keys) keep_last_of_equal_keys(entries);
  return entries;
}

// ---- partitions -------------------------------------------------------------

Result<PartitionSpec> partition_spec(Handle value) {
  if (!is_partitions(value)) return Error::raise(PyExc_TypeError, kBadPartition);
  return make_partition_spec(partitions_values(value));
}

// ---- the decorator ----------------------------------------------------------

// The decorator's bound self: owns the options, which never change.
struct DecoratorObject {
  PyObject_HEAD
  Options options;
};

PyObject* g_decorator_type = nullptr;  // process lifetime

void decorator_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  reinterpret_cast<DecoratorObject*>(self)->options.~Options();
  type->tp_free(self);
  Py_DECREF(type);
}

PyType_Slot g_decorator_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(decorator_dealloc)},
    {Py_tp_new, reinterpret_cast<void*>(py::no_constructor)},
    {0, nullptr},
};

// Holds only immutable strs and C++ data, so it needs no collector support.
PyType_Spec g_decorator_spec = {
    "builtins.AssetDecorator",
    static_cast<int>(sizeof(DecoratorObject)),
    0,
    Py_TPFLAGS_DEFAULT,
    g_decorator_slots,
};

Result<Handle> decorator_type() {
  if (g_decorator_type == nullptr) {
    TAMSO_TRY(Ref type, py::steal_result(PyType_FromSpec(&g_decorator_spec)));
    g_decorator_type = type.release();
  }
  return Handle(g_decorator_type);
}

// Keyword arguments are accepted and ignored; the one positional argument
// is wrapped whatever it is.
PyObject* apply_decorator(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject*) {
  return py::guard([&]() -> Result<Ref> {
    if (PyVectorcall_NARGS(nargsf) != 1) return Error::raise(PyExc_TypeError, kDecoratorArity);
    return make_wrapper(args[0], reinterpret_cast<DecoratorObject*>(self)->options.copy());
  });
}

PyMethodDef g_decorator_def = {
    "asset_decorator",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(apply_decorator)),
    METH_FASTCALL | METH_KEYWORDS,
    nullptr,
};

Result<Ref> make_decorator(Options options) {
  TAMSO_TRY(Handle type, decorator_type());
  PyTypeObject* cls = reinterpret_cast<PyTypeObject*>(type.ptr());
  TAMSO_TRY(Ref holder, py::steal_result(cls->tp_alloc(cls, 0)));
  new (&reinterpret_cast<DecoratorObject*>(holder.get())->options) Options(std::move(options));
  // No module: the decorator's __module__ is None.
  return py::steal_result(PyCMethod_New(&g_decorator_def, holder.get(), nullptr, nullptr));
}

// ---- asset() ----------------------------------------------------------------

Result<Ref> asset_impl(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  PyObject* slots[4] = {nullptr, nullptr, nullptr, nullptr};
  TAMSO_CHECK(py::bind(kAssetSignature, args, nargsf, kwnames, slots));
  const Handle inputs = slots[1], partitions = slots[2];

  Options options;
  TAMSO_TRY(options.name, py::argument("name", optional_exact_text(slots[0])));
  TAMSO_TRY(options.serializer, py::argument("serializer", optional_exact_text(slots[3])));
  // Inputs are checked in full before partitions.
  if (inputs && !inputs.is_none()) {
    TAMSO_TRY(options.inputs, convert_map<Ref>(inputs, input_reference));
  }
  if (partitions && !partitions.is_none()) {
    TAMSO_TRY(options.partitions, convert_map<PartitionSpec>(partitions, partition_spec));
  }
  TAMSO_CHECK(render_record(options));
  return make_decorator(std::move(options));
}

}  // namespace

PyObject* asset(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return py::guard([&] { return asset_impl(args, nargsf, kwnames); });
}

}  // namespace tamso::declaration
