// KubrelReader: a context manager over one owned schematic stream with a fixed state machine
// (entered, iterated, closed), bulk iteration, read_full() and boundary(); and open(), which
// picks the byte source and hands it to the core's format table under the input's format name. The
// first failure of a read is latched; the core decodes without the interpreter lock unless the
// input is a file-like object.
#include "kubrel_rs/reader.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "formats/schematic_formats.h"
#include "formats/stream.h"
#include "kubrel_rs/py_block.h"
#include "kubrel_rs/py_boundary.h"
#include "py_common/errors.h"
#include "py_common/heap_type.h"
#include "py_common/interpreter_lock.h"
#include "py_common/pystream.h"

namespace kubrel::py {

namespace {

constexpr size_t kBulkSize = 1024;
constexpr const char* kClassPath = "kubrel_rs::reader::KubrelReader";

// A number per thread that, unlike a pthread id, is never reused after the thread ends.
uint64_t current_thread_number() {
  static std::atomic<uint64_t> next{1};
  thread_local const uint64_t number = next.fetch_add(1, std::memory_order_relaxed);
  return number;
}

struct ReaderObject {
  PyObject ob_base;
  // Empty once the reader is closed.
  std::unique_ptr<SchematicInputStream> stream;
  // Set for a file-like input only: its adapter inside the stream needs the interpreter.
  std::shared_ptr<PySourceLink> link;
  // The owners of the stream's states that blocks handed out refer to.
  StateOwners owners;
  // The bulk __next__ reads into, kept so that its memory serves every bulk.
  std::vector<IndexedBlock> bulk;
  // The message every later __next__ and read_full() raise once one of them failed: the stream
  // then stands somewhere inside the schematic, and what it handed out next would be misplaced.
  std::optional<std::string> failure;
  // The thread that created the reader; the stream's shared state is not thread-safe.
  uint64_t owner;
  // > 0: shared borrows in progress; -1: an exclusive one.
  int borrows;
  bool entered;
  bool iterated;
};

ReaderObject* reader_of(PyObject* self) {
  return reinterpret_cast<ReaderObject*>(self);
}

PyObject* runtime_error(const char* message) {
  PyErr_SetString(PyExc_RuntimeError, message);
  return nullptr;
}

// Latches the read failure whose Python exception is pending (an interrupt, or no memory for the
// blocks' objects); returns null for chaining.
PyObject* latch_pending(ReaderObject* reader) {
  PyObject* type = PyErr_Occurred();
  reader->failure = std::string("Read interrupted by ") +
                    (type != nullptr ? reinterpret_cast<PyTypeObject*>(type)->tp_name : "an error");
  return nullptr;
}

// Raises a stream error of __next__ or read_full() and latches it.
PyObject* fail_read(ReaderObject* reader, const Error& error) {
  if (raise_interrupt(reader->link)) return latch_pending(reader);
  reader->failure = error.message;
  return raise_error(error);
}

// Runs `decode` (a call into the stream) with the interpreter lock released for inputs that need
// no interpreter: a path or bytes. A file-like input keeps the lock, which each of its reads needs.
template <class Decode>
auto decode_unlocked(const ReaderObject* reader, Decode&& decode) {
  ReleasedLock unlocked(reader->link == nullptr);
  return decode();
}

// Holds the reader for one operation. Fails (with a Python error set) on a thread other than the
// owner's, and when the operation re-enters the reader from inside another one, as a file-like
// object's read() could.
class Borrow {
 public:
  enum Kind { kShared, kExclusive };

  Borrow(PyObject* self, Kind kind) : kind_(kind) {
    ReaderObject* reader = reader_of(self);
    if (reader->owner != current_thread_number()) {
      raise_text(PyExc_RuntimeError,
                 std::string(kClassPath) + " is unsendable, but sent to another thread");
      return;
    }
    if (kind == kExclusive ? reader->borrows != 0 : reader->borrows < 0) {
      runtime_error(kind == kExclusive ? "Already borrowed" : "Already mutably borrowed");
      return;
    }
    reader->borrows = kind == kExclusive ? -1 : reader->borrows + 1;
    reader_ = reader;
  }
  ~Borrow() {
    if (reader_ != nullptr) reader_->borrows = kind_ == kExclusive ? 0 : reader_->borrows - 1;
  }
  Borrow(const Borrow&) = delete;
  Borrow& operator=(const Borrow&) = delete;

  explicit operator bool() const { return reader_ != nullptr; }
  ReaderObject* operator->() const { return reader_; }
  ReaderObject* get() const { return reader_; }

 private:
  ReaderObject* reader_ = nullptr;
  Kind kind_;
};

PyObject* enter(PyObject* self, PyObject*) {
  return guard([&]() -> PyObject* {
    Borrow reader(self, Borrow::kExclusive);
    if (!reader) return nullptr;
    if (reader->entered) return runtime_error("Cannot enter context multiple times");
    if (!reader->stream) return runtime_error("Reader is already closed");
    if (reader->iterated) return runtime_error("Cannot enter context again after iterating");
    reader->entered = true;
    return Py_NewRef(self);
  });
}

PyObject* exit(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guard([&]() -> PyObject* {
    static const char* keywords[] = {"_exc_type", "_exc_val", "_exc_tb", nullptr};
    PyObject* ignored[3] = {};
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOO:__exit__", const_cast<char**>(keywords),
                                     &ignored[0], &ignored[1], &ignored[2])) {
      return nullptr;
    }
    Borrow reader(self, Borrow::kExclusive);
    if (!reader) return nullptr;
    if (!reader->entered) return runtime_error("Cannot exit context without entering");
    if (!reader->stream) return runtime_error("Reader is already closed");
    reader->stream.reset();
    Py_RETURN_NONE;
  });
}

PyObject* boundary(PyObject* self, PyObject*) {
  return guard([&]() -> PyObject* {
    Borrow reader(self, Borrow::kExclusive);
    if (!reader) return nullptr;
    if (!reader->entered) return runtime_error("Cannot get boundary without entering context");
    if (!reader->stream) return runtime_error("Reader is closed");
    auto result = decode_unlocked(reader.get(), [&] { return reader->stream->boundary(); });
    if (!result) return raise_interrupt(reader->link) ? nullptr : raise_error(result.error());
    if (!*result) return runtime_error("Failed to read boundary");
    return make_boundary(**result);
  });
}

PyObject* iter_bulks(PyObject* self, PyObject*) {
  return guard([&]() -> PyObject* {
    Borrow reader(self, Borrow::kExclusive);
    if (!reader) return nullptr;
    if (!reader->stream) return runtime_error("Reader is closed");
    if (reader->iterated) return runtime_error("Iterator already called");
    reader->iterated = true;
    return Py_NewRef(self);
  });
}

PyObject* read_full(PyObject* self, PyObject*) {
  return guard([&]() -> PyObject* {
    Borrow reader(self, Borrow::kExclusive);
    if (!reader) return nullptr;
    if (!reader->entered) return runtime_error("Cannot read without entering context");
    if (!reader->stream) return runtime_error("Reader is closed");
    if (reader->iterated) return runtime_error("Cannot read full after iterating");
    if (reader->failure) return raise_text(PyExc_RuntimeError, *reader->failure);
    // Bulk by bulk into the list, so the blocks are never held twice; a failure drops them all,
    // as the core's read-to-end does. Between bulks an interrupt gets its chance.
    PyRef list = PyRef::steal(PyList_New(0));
    if (!list) return nullptr;
    std::vector<IndexedBlock> bulk;
    bulk.reserve(kReadToEndBulk);
    while (true) {
      bulk.clear();
      auto count = decode_unlocked(
          reader.get(), [&] { return reader->stream->read_indexed(bulk, kReadToEndBulk); });
      if (!count) return fail_read(reader.get(), count.error());
      if (!*count) return list.release();
      if (!extend_block_list(list.get(), bulk, reader->owners, *reader->stream) ||
          PyErr_CheckSignals() < 0) {
        return latch_pending(reader.get());
      }
    }
  });
}

PyObject* close(PyObject* self, PyObject*) {
  return guard([&]() -> PyObject* {
    // Refusing re-entry here keeps a stream from being destroyed while it is being read.
    Borrow reader(self, Borrow::kExclusive);
    if (!reader) return nullptr;
    reader->stream.reset();
    Py_RETURN_NONE;
  });
}

PyObject* next(PyObject* self) {
  return guard([&]() -> PyObject* {
    Borrow reader(self, Borrow::kExclusive);
    if (!reader) return nullptr;
    if (!reader->entered) return runtime_error("Cannot iterate without entering context");
    if (!reader->stream) return runtime_error("Reader is closed");
    if (!reader->iterated) {
      return runtime_error("Iterator not initialized, call iter_bulks() first");
    }
    if (reader->failure) return raise_text(PyExc_RuntimeError, *reader->failure);
    std::vector<IndexedBlock>& bulk = reader->bulk;
    bulk.clear();
    auto count = decode_unlocked(reader.get(),
                                 [&] { return reader->stream->read_indexed(bulk, kBulkSize); });
    if (!count) return fail_read(reader.get(), count.error());
    if (!*count) {
      PyErr_SetString(PyExc_StopIteration, "End of stream");
      return nullptr;
    }
    PyObject* list = make_block_list(bulk, reader->owners, *reader->stream);
    if (list == nullptr) return latch_pending(reader.get());
    return list;
  });
}

PyObject* iter(PyObject* self) {
  return guard([&]() -> PyObject* {
    Borrow reader(self, Borrow::kShared);
    if (!reader) return nullptr;
    return Py_NewRef(self);
  });
}

PyObject* text(PyObject* self) {
  return guard([&]() -> PyObject* {
    Borrow reader(self, Borrow::kShared);
    if (!reader) return nullptr;
    return PyUnicode_FromString("kubrel_rs.read() block");
  });
}

// The file-like object (and an interrupt it raised) may refer back to the reader.
int traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  const ReaderObject* reader = reader_of(self);
  if (reader->link) {
    Py_VISIT(reader->link->object);
    Py_VISIT(reader->link->interrupt.get());
  }
  return 0;
}

// Breaks a cycle through the file-like object by closing the reader, as long as that is safe
// here: on the owner's thread, and not from inside one of the reader's own operations.
int clear(PyObject* self) {
  ReaderObject* reader = reader_of(self);
  if (reader->owner != current_thread_number() || reader->borrows != 0) return 0;
  reader->stream.reset();
  if (reader->link) reader->link->interrupt = PyRef();
  return 0;
}

void dealloc(PyObject* self) {
  PyObject_GC_UnTrack(self);
  ReaderObject* reader = reader_of(self);
  // A closed reader holds nothing bound to its thread and may go anywhere (a collection in
  // another thread, for instance).
  if (reader->stream && reader->owner != current_thread_number()) {
    // The stream's shared state may only be touched by its own thread: leak it rather than race.
    (void)reader->stream.release();
    PyRef pending = take_exception();
    raise_text(PyExc_RuntimeError,
               std::string(kClassPath) + " is unsendable, but is being dropped on another thread");
    PyErr_WriteUnraisable(nullptr);
    restore_exception(std::move(pending));
  }
  reader->stream.~unique_ptr();
  reader->link.~shared_ptr();
  reader->owners.~StateOwners();
  reader->bulk.~vector();
  reader->failure.~optional();
  free_instance(self);
}

PyMethodDef methods[] = {
    {"__enter__", enter, METH_NOARGS, "__enter__($self)\n--\n\n"},
    {"__exit__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(exit)),
     METH_VARARGS | METH_KEYWORDS, "__exit__($self, _exc_type, _exc_val, _exc_tb)\n--\n\n"},
    {"boundary", boundary, METH_NOARGS, "boundary($self)\n--\n\n"},
    {"iter_bulks", iter_bulks, METH_NOARGS, "iter_bulks($self)\n--\n\n"},
    {"read_full", read_full, METH_NOARGS, "read_full($self)\n--\n\n"},
    {"close", close, METH_NOARGS, "close($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>("")},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(clear)},
    {Py_tp_methods, methods},
    {Py_tp_str, reinterpret_cast<void*>(text)},
    {Py_tp_iter, reinterpret_cast<void*>(iter)},
    {Py_tp_iternext, reinterpret_cast<void*>(next)},
    {0, nullptr},
};

PyType_Spec spec = {
    .name = "builtins.KubrelReader",
    .basicsize = sizeof(ReaderObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION |
             Py_TPFLAGS_HAVE_GC,
    .slots = slots,
};

HeapType reader_class(&spec);

// A new reader owning `stream` (and `link`, for a file-like input), bound to the calling thread;
// returns a new reference.
PyObject* make_reader(std::unique_ptr<SchematicInputStream> stream,
                      std::shared_ptr<PySourceLink> link) {
  PyTypeObject* type = reader_class.get();
  if (type == nullptr) return nullptr;
  ReaderObject* reader = PyObject_GC_New(ReaderObject, type);
  if (reader == nullptr) return nullptr;
  new (&reader->stream) std::unique_ptr<SchematicInputStream>(std::move(stream));
  new (&reader->link) std::shared_ptr<PySourceLink>(std::move(link));
  new (&reader->owners) StateOwners();
  new (&reader->bulk) std::vector<IndexedBlock>();
  new (&reader->failure) std::optional<std::string>();
  reader->owner = current_thread_number();
  reader->borrows = 0;
  reader->entered = false;
  reader->iterated = false;
  PyObject_GC_Track(reader);
  return reinterpret_cast<PyObject*>(reader);
}

// The text of `value` when it is a str that converts to UTF-8.
std::optional<std::string> str_text(PyObject* value) {
  if (!PyUnicode_Check(value)) return std::nullopt;
  Py_ssize_t length = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(value, &length);
  if (utf8 == nullptr) return std::nullopt;
  return std::string(utf8, static_cast<size_t>(length));
}

// The input's format name, upper-cased (ASCII letters only): its `type` attribute as text or as
// something with a str `name` (an enum member); "AUTO" whenever that cannot be had. Never raises.
std::string format_name(PyObject* input) {
  std::optional<std::string> name;
  PyRef type = PyRef::steal(PyObject_GetAttrString(input, "type"));
  if (type) {
    name = str_text(type.get());
    if (!name && !PyUnicode_Check(type.get())) {
      PyRef member_name = PyRef::steal(PyObject_GetAttrString(type.get(), "name"));
      if (member_name) name = str_text(member_name.get());
    }
  }
  PyErr_Clear();
  std::string result = name.value_or("auto");
  for (char& c : result) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return result;
}

PyObject* open_input(PyObject*, PyObject* args, PyObject* kwargs) {
  return guard([&]() -> PyObject* {
    static const char* keywords[] = {"input", nullptr};
    PyObject* input = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:open", const_cast<char**>(keywords),
                                     &input)) {
      return nullptr;
    }
    std::string name = format_name(input);
    std::shared_ptr<PySourceLink> link;
    std::unique_ptr<ByteSource> raw = reader_from(input, link);
    if (!raw) return nullptr;
    auto stream = open_gzip_schematic(name, std::move(raw));
    // The gzip header is read here already, and an interrupt may have cut it short.
    if (raise_interrupt(link)) return nullptr;
    if (!stream) return raise_text(PyExc_ValueError, "Unknown type: " + name);
    return make_reader(std::move(stream), std::move(link));
  });
}

}  // namespace

PyTypeObject* reader_type() {
  return reader_class.get();
}

PyMethodDef open_method = {"open",
                           reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(open_input)),
                           METH_VARARGS | METH_KEYWORDS, "open(input)\n--\n\n"};

}  // namespace kubrel::py
