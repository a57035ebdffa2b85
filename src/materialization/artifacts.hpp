// The two artifact files of a materialization, `value.json` and
// `result.json`, and the crash-safe way they reach the disk.
#pragma once

#include <string>
#include <string_view>

#include "binding/error.hpp"

namespace tamso::materialization {

// Where the artifacts go. `path` and `result_path` are the `pathlib` objects
// made from the caller's `output_dir` (they give the texts that the files
// and error messages show); `anchored` is the same directory as an absolute
// path in the file system's encoding, fixed before any user code runs, and is
// where the files are actually written.
struct OutputDir {
  py::Ref path;
  py::Ref result_path;
  std::string anchored;
};

// The absolute form of `output_dir` (a str) against the current working
// directory, encoded for the file system. OSError when the working directory
// cannot be read.
py::Result<std::string> anchor(py::Handle output_dir);

// Replaces the file `name` in the directory `dir` (absolute, file system
// encoding) with `data`: the bytes go to a fresh temporary file beside it,
// which is then renamed over the target, so a reader (or a process killed
// mid-write) sees the old file or the new one, never a partial one. The
// temporary file is removed on every failure. A failure raises the OSError
// subclass for its errno, naming `shown` (its str()) as the file.
py::Status replace_file(const std::string& dir, std::string_view name, std::string_view data, py::Handle shown);

// `value.json` from `json.dumps(value)`, then the success form of
// `result.json`. The first failing step's exception is returned; what was
// written before it stays.
py::Status write_success(const OutputDir& out, py::Handle json_module, py::Handle inspect_module,
                         py::Handle callable, py::Handle value, std::string_view module_name,
                         std::string_view function_name);

// The error form of `result.json`.
py::Status write_error(const OutputDir& out, std::string_view error, std::string_view error_type);

}  // namespace tamso::materialization
