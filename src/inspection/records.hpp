// Asset records and the inspection document.
//
// One asset record describes one member of a scanned module that declares
// itself an asset: its decorator metadata (read back through `json.dumps` and
// our reader), the function's source, name, file and return annotation, the
// module's name and source, and the interpreter version. The document is
// {"assets": [record, ...]} written by our JSON writer.
#pragma once

#include <string>
#include <vector>

#include "binding/error.hpp"
#include "json/value.hpp"

namespace tamso::inspection {

// The interpreter modules that one call imports at its start and holds until
// it ends. Functions are looked up on them at each use, so a module body that
// replaces one of them is seen from then on.
struct ToolModules {
  py::Ref importlib;
  py::Ref inspect;
  py::Ref textwrap;
  py::Ref sys;
  py::Ref pathlib;
};

// `inspect.getsource(obj)`, `textwrap.dedent`, `.strip()`, then one line feed.
// Any failure is the caller's failure; no default text stands in.
py::Result<std::string> source_text(const ToolModules& tools, py::Handle obj);

// Builds the record of `member`, found in `module`. `module_source` and
// `python_version` are copied into the record.
py::Result<json::Value> asset_record(const ToolModules& tools, py::Handle module, py::Handle member,
                                     const std::string& module_source, const std::string& python_version);

// `json.dumps(obj)` read back by our reader; a text the reader refuses
// (NaN, the infinities, nesting too deep) is RuntimeError
// "JSON parse error: {reader error text}".
py::Result<json::Value> python_dict_to_json(py::Handle obj);

// The document text {"assets":[...]} as a new str.
py::Result<py::Ref> write_document(std::vector<json::Value> records);

}  // namespace tamso::inspection
