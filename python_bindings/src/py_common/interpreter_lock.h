// The interpreter's lock around C++ work: released while the core decodes, so that other threads
// run, and taken back by a thread that must call into Python from inside it (a file-like object's
// read()).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace kubrel::py {

// Releases the interpreter's lock for the lifetime of the object; with `release` false it keeps
// it (for an input whose every read needs the interpreter anyway).
class ReleasedLock {
 public:
  explicit ReleasedLock(bool release = true) : saved_(release ? PyEval_SaveThread() : nullptr) {}
  ~ReleasedLock() {
    if (saved_ != nullptr) PyEval_RestoreThread(saved_);
  }
  ReleasedLock(const ReleasedLock&) = delete;
  ReleasedLock& operator=(const ReleasedLock&) = delete;

 private:
  PyThreadState* saved_;
};

// Keeps the calling thread attached to the interpreter, holding its lock, for the lifetime of the
// object; usable whether or not the thread held the lock before.
class AttachedThread {
 public:
  AttachedThread() : state_(PyGILState_Ensure()) {}
  ~AttachedThread() { PyGILState_Release(state_); }
  AttachedThread(const AttachedThread&) = delete;
  AttachedThread& operator=(const AttachedThread&) = delete;

 private:
  PyGILState_STATE state_;
};

}  // namespace kubrel::py
