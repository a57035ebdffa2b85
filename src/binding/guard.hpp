// The call guard: the one place where an operation's failure becomes the
// interpreter's pending exception. Every entry from Python goes through here.
#pragma once

#include <exception>

#include "binding/error.hpp"

namespace tamso::py {

// Runs `op` (returning Result<Ref>) and hands its object to the interpreter,
// or sets its exception and returns NULL. A stray C++ exception becomes an
// internal failure instead of crossing into the interpreter.
template <class F>
PyObject* guard(F&& op) noexcept {
  try {
    Result<Ref> r = op();
    if (r) return std::move(r).value().release();
    std::move(r).error().restore();
  } catch (const std::exception& e) {
    Error::internal(e.what()).restore();
  } catch (...) {
    Error::internal("unknown failure in native code").restore();
  }
  return nullptr;
}

// The same for slots that report failure as -1 (op returns Status).
template <class F>
int guard_status(F&& op) noexcept {
  try {
    Status r = op();
    if (r) return 0;
    std::move(r).error().restore();
  } catch (const std::exception& e) {
    Error::internal(e.what()).restore();
  } catch (...) {
    Error::internal("unknown failure in native code").restore();
  }
  return -1;
}

}  // namespace tamso::py
