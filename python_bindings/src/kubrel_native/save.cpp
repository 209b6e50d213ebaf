// save() and save_pieces(): the parts of a Python volume (an index array, a palette, its place and
// its block entities and entities as NBT payloads) gathered into the core's Volume, then written by
// the core's savers without the interpreter's lock.
#include "kubrel_native/save.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "kubrel_native/load.h"
#include "py_common/buffer_view.h"
#include "py_common/errors.h"
#include "py_common/interpreter_lock.h"
#include "py_common/pyref.h"
#include "volume/volume_save.h"

namespace kubrel::py {

namespace {

uint32_t index_at(const std::byte* at, Py_ssize_t width) {
  uint8_t small = 0;
  uint16_t middle = 0;
  uint32_t large = 0;
  switch (width) {
    case 1:
      std::memcpy(&small, at, 1);
      return small;
    case 2:
      std::memcpy(&middle, at, 2);
      return middle;
    default:
      std::memcpy(&large, at, 4);
      return large;
  }
}

// Copies the (y, z, x) array of a box of `size` positions into `grid` once, whatever its strides,
// and checks every index against a palette of `palette_size` (the writers look each one up).
// Returns false with an error set.
bool fill_index_grid(PyObject* blocks, const std::array<uint32_t, 3>& size, size_t palette_size,
                     IndexGrid& grid) {
  BufferView array;
  if (!array.acquire(blocks, PyBUF_RECORDS_RO)) return false;
  const Py_buffer& view = array.view();
  if (view.ndim != 3 || !holds_unsigned_indices(view)) {
    PyErr_SetString(PyExc_TypeError,
                    "blocks must be a 3-dimensional uint8, uint16 or uint32 array");
    return false;
  }
  const Py_ssize_t expected[3] = {size[1], size[2], size[0]};
  for (int axis = 0; axis < 3; ++axis) {
    if (view.shape[axis] != expected[axis]) {
      PyErr_SetString(PyExc_ValueError, "blocks must have the shape (size y, size z, size x)");
      return false;
    }
  }
  const Py_ssize_t width = view.itemsize;
  grid.width = static_cast<uint8_t>(width);
  if (!grid.bytes.resize_for_overwrite(static_cast<size_t>(view.len))) {
    PyErr_NoMemory();
    return false;
  }
  std::byte* out = grid.bytes.data();
  const auto* base = static_cast<const std::byte*>(view.buf);
  uint32_t highest = 0;
  bool any = false;
  for (Py_ssize_t y = 0; y < view.shape[0]; ++y) {
    for (Py_ssize_t z = 0; z < view.shape[1]; ++z) {
      const std::byte* row = base + y * view.strides[0] + z * view.strides[1];
      for (Py_ssize_t x = 0; x < view.shape[2]; ++x, out += width) {
        std::memcpy(out, row + x * view.strides[2], static_cast<size_t>(width));
        highest = std::max(highest, index_at(out, width));
        any = true;
      }
    }
  }
  if (any && highest >= palette_size) {
    PyErr_Format(PyExc_ValueError, "blocks hold the index %u, beyond the palette of %zu states",
                 highest, palette_size);
    return false;
  }
  return true;
}

bool fill_grid(PyObject* blocks, Volume& volume) {
  return fill_index_grid(blocks, volume.size, volume.palette.size(), volume.blocks);
}

bool payload_of(PyObject* data, NbtCompoundBytes& out) {
  char* bytes = nullptr;
  Py_ssize_t length = 0;
  if (PyBytes_AsStringAndSize(data, &bytes, &length) < 0) return false;
  const auto* begin = reinterpret_cast<const std::byte*>(bytes);
  out.assign(begin, begin + length);
  return true;
}

// Calls `fill_one` on each item of the list `items` (None counts as empty) until one fails.
template <class Fill>
bool each_item(PyObject* items, const char* not_a_list, Fill&& fill_one) {
  if (items == Py_None) return true;
  PyRef sequence = PyRef::steal(PySequence_Fast(items, not_a_list));
  if (!sequence) return false;
  for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(sequence.get()); ++i) {
    if (!fill_one(PySequence_Fast_GET_ITEM(sequence.get(), i))) return false;
  }
  return true;
}

// Whether `items` is the packed form load() gives: (positions, payloads, offsets), all bytes.
bool is_packed(PyObject* items) {
  return PyTuple_Check(items) && PyTuple_GET_SIZE(items) == 3 &&
         PyBytes_Check(PyTuple_GET_ITEM(items, 0));
}

// Calls `place(position, payload)` for each record of a packed triple, after checking that its
// offsets stay inside its payloads, so that records passed back untouched cost no Python object
// each. Returns false with an error set.
template <class Coordinate, class Place>
bool each_packed(PyObject* packed, Place&& place) {
  PyObject* positions = nullptr;
  PyObject* payloads = nullptr;
  PyObject* offsets = nullptr;
  if (!PyArg_ParseTuple(packed, "SSS;packed records are (positions, payloads, offsets) bytes",
                        &positions, &payloads, &offsets)) {
    return false;
  }
  constexpr size_t kPositionSize = 3 * sizeof(Coordinate);
  const auto position_bytes = static_cast<size_t>(PyBytes_GET_SIZE(positions));
  const size_t count = position_bytes / kPositionSize;
  const auto payload_size = static_cast<uint64_t>(PyBytes_GET_SIZE(payloads));
  const char* offset_at = PyBytes_AS_STRING(offsets);
  auto offset = [&](size_t i) {
    int64_t value = 0;
    std::memcpy(&value, offset_at + i * sizeof(value), sizeof(value));
    return value;
  };
  bool fits = position_bytes % kPositionSize == 0 &&
              static_cast<size_t>(PyBytes_GET_SIZE(offsets)) == (count + 1) * sizeof(int64_t);
  for (size_t i = 0; fits && i < count; ++i) {
    fits = 0 <= offset(i) && offset(i) <= offset(i + 1);
  }
  if (!fits || static_cast<uint64_t>(offset(count)) > payload_size) {
    PyErr_SetString(PyExc_ValueError, "packed records' offsets do not fit their payloads");
    return false;
  }
  const auto* base = reinterpret_cast<const std::byte*>(PyBytes_AS_STRING(payloads));
  const char* position_at = PyBytes_AS_STRING(positions);
  for (size_t i = 0; i < count; ++i, position_at += kPositionSize) {
    std::array<Coordinate, 3> p{};
    std::memcpy(p.data(), position_at, kPositionSize);
    place(p, base + offset(i), base + offset(i + 1));
  }
  return true;
}

// Block entities or pending ticks: ((x, y, z) ints, payload bytes) each, or packed.
bool fill_records(PyObject* items, std::vector<VolumeBlockEntity>& records) {
  if (is_packed(items)) {
    return each_packed<int32_t>(
        items, [&](const auto& p, const std::byte* begin, const std::byte* end) {
          records.push_back({BlockPosition{p[0], p[1], p[2]}, NbtCompoundBytes(begin, end)});
        });
  }
  return each_item(items, "block records must be a list", [&](PyObject* item) {
    PyObject* data = nullptr;
    VolumeBlockEntity& record = records.emplace_back();
    BlockPosition& p = record.position;
    return PyArg_ParseTuple(item, "(iii)O;block records are ((x, y, z), bytes)", &p.x, &p.y, &p.z,
                            &data) &&
           payload_of(data, record.data);
  });
}

// The entities: ((x, y, z) floats, payload bytes) each, or packed.
bool fill_entities(PyObject* items, Volume& volume) {
  if (is_packed(items)) {
    return each_packed<double>(items,
                               [&](const auto& p, const std::byte* begin, const std::byte* end) {
                                 VolumeEntity& entity = volume.entities.emplace_back();
                                 entity.position = p;
                                 entity.data.assign(begin, end);
                               });
  }
  return each_item(items, "entities must be a list", [&](PyObject* item) {
    PyObject* data = nullptr;
    VolumeEntity& entity = volume.entities.emplace_back();
    auto& p = entity.position;
    return PyArg_ParseTuple(item, "(ddd)O;entities are ((x, y, z), bytes)", &p[0], &p[1], &p[2],
                            &data) &&
           payload_of(data, entity.data);
  });
}

bool fill_palette(PyObject* items, Volume& volume) {
  return each_item(items, "palette must be a list of str", [&](PyObject* item) {
    Py_ssize_t length = 0;
    const char* text = PyUnicode_AsUTF8AndSize(item, &length);
    if (text == nullptr) return false;
    volume.palette.emplace_back(text, static_cast<size_t>(length));
    return true;
  });
}

bool fill_text_list(PyObject* items, const char* what, std::vector<std::string>& out) {
  return each_item(items, what, [&](PyObject* item) {
    Py_ssize_t length = 0;
    const char* text = PyUnicode_AsUTF8AndSize(item, &length);
    if (text == nullptr) return false;
    out.emplace_back(text, static_cast<size_t>(length));
    return true;
  });
}

// An optional (x, y, z) of ints.
bool fill_position(PyObject* value, std::optional<BlockPosition>& out) {
  if (value == Py_None) return true;
  BlockPosition& p = out.emplace();
  return PyArg_ParseTuple(value, "iii;a position is (x, y, z)", &p.x, &p.y, &p.z);
}

bool fill_payload(PyObject* value, NbtCompoundBytes& out) {
  return value == Py_None || payload_of(value, out);
}

// (grid array (layers, size z, size x), [names]) or None.
bool fill_biomes(PyObject* value, Volume& volume) {
  if (value == Py_None) return true;
  PyObject* grid = nullptr;
  PyObject* names = nullptr;
  if (!PyArg_ParseTuple(value, "OO;biomes are (grid, palette)", &grid, &names)) return false;
  Volume::Biomes& biomes = volume.biomes.emplace();
  if (!fill_text_list(names, "the biome palette must be a list of str", biomes.palette))
    return false;
  BufferView array;
  if (!array.acquire(grid, PyBUF_C_CONTIGUOUS)) return false;
  const Py_buffer& view = array.view();
  if (view.ndim != 3 || !holds_unsigned_indices(view) || view.shape[1] != volume.size[2] ||
      view.shape[2] != volume.size[0]) {
    PyErr_SetString(
        PyExc_ValueError,
        "the biome grid must be a C-contiguous unsigned array of shape (layers, size z, "
        "size x)");
    return false;
  }
  biomes.height = static_cast<uint32_t>(view.shape[0]);
  biomes.grid.width = static_cast<uint8_t>(view.itemsize);
  if (!biomes.grid.bytes.resize_for_overwrite(static_cast<size_t>(view.len))) {
    PyErr_NoMemory();
    return false;
  }
  std::memcpy(biomes.grid.bytes.data(), view.buf, static_cast<size_t>(view.len));
  return true;
}

// A structure's palettes: [[state, ...], ...], each aligned with the palette.
bool fill_palettes(PyObject* items, Volume& volume) {
  return each_item(items, "palettes must be a list of lists", [&](PyObject* item) {
    return fill_text_list(item, "a palette must be a list of str", volume.palettes.emplace_back());
  });
}

// A Litematica volume's regions: (name, (x, y, z) minimum, (x, y, z) size, (x, y, z) file size,
// other tags or None, own blocks or None, own block entities) each; the palette must be filled.
bool fill_regions(PyObject* items, Volume& volume) {
  return each_item(items, "regions must be a list", [&](PyObject* item) {
    const char* name = nullptr;
    Py_ssize_t length = 0;
    PyObject* other_tags = nullptr;
    PyObject* own_blocks = Py_None;
    PyObject* own_block_entities = Py_None;
    Volume::NamedRegion& r = volume.regions.emplace_back();
    if (!PyArg_ParseTuple(item,
                          "s#(iii)(III)(iii)O|OO;regions are (name, min, size, file size, tags, "
                          "own blocks, own block entities)",
                          &name, &length, &r.min.x, &r.min.y, &r.min.z, &r.size[0], &r.size[1],
                          &r.size[2], &r.file_size[0], &r.file_size[1], &r.file_size[2],
                          &other_tags, &own_blocks, &own_block_entities)) {
      return false;
    }
    r.name.assign(name, static_cast<size_t>(length));
    if (own_blocks != Py_None &&
        !fill_index_grid(own_blocks, r.size, volume.palette.size(), r.own_blocks)) {
      return false;
    }
    return fill_payload(other_tags, r.other_tags) &&
           fill_records(own_block_entities, r.own_block_entities);
  });
}

// (format name, version, sub version or None) of the file the volume was read from, or None.
bool fill_read_as(PyObject* read_as, Volume& volume) {
  if (read_as == Py_None) return true;
  const char* name = nullptr;
  PyObject* sub_version = nullptr;
  if (!PyArg_ParseTuple(read_as, "siO;read_as is (format, version, sub version)", &name,
                        &volume.version, &sub_version)) {
    return false;
  }
  if (auto format = format_named(name)) volume.format = *format;
  if (sub_version != Py_None) {
    int value = 0;
    PyRef one = PyRef::steal(Py_BuildValue("(O)", sub_version));
    if (!one || !PyArg_ParseTuple(one.get(), "i;the sub version is an int", &value)) return false;
    volume.sub_version = value;
  }
  return true;
}

// The item `key` of the parts dict (None when absent). Returns a borrowed reference.
PyObject* part(PyObject* parts, const char* key) {
  PyObject* value = PyDict_GetItemString(parts, key);
  return value == nullptr ? Py_None : value;
}

// The volume described by `parts`, the dict that kubrel's saving module builds from a Volume.
bool to_volume(PyObject* parts, Volume& volume) {
  if (!PyDict_Check(parts)) {
    PyErr_SetString(PyExc_TypeError, "the volume's parts must be a dict");
    return false;
  }
  BlockPosition& origin = volume.origin;
  if (!PyArg_ParseTuple(part(parts, "origin"), "iii;origin is (x, y, z)", &origin.x, &origin.y,
                        &origin.z) ||
      !PyArg_ParseTuple(part(parts, "size"), "III;size is (x, y, z)", &volume.size[0],
                        &volume.size[1], &volume.size[2])) {
    return false;
  }
  if (PyObject* data_version = part(parts, "data_version"); data_version != Py_None) {
    const long value = PyLong_AsLong(data_version);
    if (value == -1 && PyErr_Occurred()) return false;
    if (value < INT32_MIN || value > INT32_MAX) {
      PyErr_SetString(PyExc_OverflowError, "data_version does not fit 32 bits");
      return false;
    }
    volume.data_version = static_cast<int32_t>(value);
  }
  if (PyObject* count = part(parts, "palette_count"); count != Py_None) {
    volume.palette_count = static_cast<uint32_t>(PyLong_AsUnsignedLong(count));
    if (PyErr_Occurred()) return false;
  }
  return fill_palette(part(parts, "palette"), volume) && fill_grid(part(parts, "blocks"), volume) &&
         fill_records(part(parts, "block_entities"), volume.block_entities) &&
         fill_entities(part(parts, "entities"), volume) &&
         fill_regions(part(parts, "regions"), volume) &&
         fill_records(part(parts, "pending_block_ticks"), volume.pending_block_ticks) &&
         fill_records(part(parts, "pending_fluid_ticks"), volume.pending_fluid_ticks) &&
         fill_payload(part(parts, "metadata"), volume.metadata) &&
         fill_payload(part(parts, "other_tags"), volume.other_tags) &&
         fill_position(part(parts, "paste_origin"), volume.paste_origin) &&
         fill_palettes(part(parts, "palettes"), volume) &&
         fill_biomes(part(parts, "biomes"), volume) && fill_read_as(part(parts, "read_as"), volume);
}

// [str, ...]: what a save could not hold. Returns a new reference.
PyObject* text_list(const std::vector<std::string>& texts) {
  PyRef list = PyRef::steal(PyList_New(0));
  if (!list) return nullptr;
  for (const std::string& text : texts) {
    PyRef item = PyRef::steal(to_str(text));
    if (!item || PyList_Append(list.get(), item.get()) < 0) return nullptr;
  }
  return list.release();
}

// Raises a failure of the system (a missing folder, a read-only file, a full disk) as the OSError
// subclass Python gives its error number, naming `path`, and any other as KubrelError with the
// core's message. Returns null.
PyObject* raise_save_error(const Error& error, const std::string& path) {
  if (error.os_error != 0) {
    PyRef name = PyRef::steal(
        PyUnicode_DecodeFSDefaultAndSize(path.data(), static_cast<Py_ssize_t>(path.size())));
    if (!name) return nullptr;
    errno = error.os_error;
    return PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, name.get());
  }
  PyObject* kind = kubrel_error_type();
  if (kind == nullptr) return nullptr;
  return raise_text(kind, error.message);
}

PyObject* save(PyObject*, PyObject* args, PyObject* kwargs) {
  return guard([&]() -> PyObject* {
    static const char* keywords[] = {"path",  "parts",         "format", "version",
                                     "level", "drop_entities", "force",  nullptr};
    PyObject* path_bytes = nullptr;
    PyObject* parts = nullptr;
    const char* format = nullptr;
    int version = 3;
    int level = kDefaultGzipLevel;
    int drop_entities = 0;
    int force = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O&O|ziip$p:save", const_cast<char**>(keywords),
                                     PyUnicode_FSConverter, &path_bytes, &parts, &format, &version,
                                     &level, &drop_entities, &force)) {
      return nullptr;
    }
    PyRef owned_path = PyRef::steal(path_bytes);
    const std::string path = PyBytes_AS_STRING(path_bytes);
    SaveOptions options;
    options.sponge_version = version;
    options.gzip_level = level;
    options.drop_entities = drop_entities != 0;
    options.replace_read_only = force != 0;
    if (!format_option(format, options.format)) return nullptr;
    Volume volume;
    if (!to_volume(parts, volume)) return nullptr;
    Result<SaveReport> report = [&] {
      ReleasedLock unlocked;
      return save_volume(volume, path, options);
    }();
    if (!report) return raise_save_error(report.error(), path);
    return Py_BuildValue("{s:n,s:n,s:N}", "block_entities",
                         static_cast<Py_ssize_t>(report->dropped_block_entities), "entities",
                         static_cast<Py_ssize_t>(report->dropped_entities), "not_kept",
                         text_list(report->not_kept));
  });
}

PyObject* save_pieces(PyObject*, PyObject* args, PyObject* kwargs) {
  return guard([&]() -> PyObject* {
    static const char* keywords[] = {"stem", "parts", "piece_size", "level", "force", nullptr};
    PyObject* stem_bytes = nullptr;
    PyObject* parts = nullptr;
    // Taken signed and checked: "I" would wrap -1 to 4294967295 without a word.
    Py_ssize_t piece_size = kDefaultPieceSize;
    int level = kDefaultGzipLevel;
    int force = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O&O|ni$p:save_pieces",
                                     const_cast<char**>(keywords), PyUnicode_FSConverter,
                                     &stem_bytes, &parts, &piece_size, &level, &force)) {
      return nullptr;
    }
    PyRef owned_stem = PyRef::steal(stem_bytes);
    const std::string stem = PyBytes_AS_STRING(stem_bytes);
    if (piece_size < 1 || static_cast<uint64_t>(piece_size) > UINT32_MAX) {
      PyErr_Format(PyExc_ValueError, "piece_size must be from 1 to %u, not %zd", UINT32_MAX,
                   piece_size);
      return nullptr;
    }
    Volume volume;
    if (!to_volume(parts, volume)) return nullptr;
    Result<std::vector<std::string>> paths = [&] {
      ReleasedLock unlocked;
      return save_structure_pieces(volume, stem, static_cast<uint32_t>(piece_size), level,
                                   force != 0);
    }();
    if (!paths) return raise_save_error(paths.error(), stem);
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(paths->size())));
    if (!list) return nullptr;
    for (size_t i = 0; i < paths->size(); ++i) {
      const std::string& written = (*paths)[i];
      PyObject* text =
          PyUnicode_DecodeFSDefaultAndSize(written.data(), static_cast<Py_ssize_t>(written.size()));
      if (text == nullptr) return nullptr;
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), text);
    }
    return list.release();
  });
}

}  // namespace

PyMethodDef save_method = {
    "save", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(save)),
    METH_VARARGS | METH_KEYWORDS,
    "save(path, parts, format=None, version=3, level=1, drop_entities=False, *, force=False) -> "
    "dict\n\nWrites the volume whose parts the dict gives, atomically; returns how many block "
    "entities and entities were dropped and what else the format could not hold."};

PyMethodDef save_pieces_method = {
    "save_pieces", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(save_pieces)),
    METH_VARARGS | METH_KEYWORDS,
    "save_pieces(stem, parts, piece_size=48, level=1, *, force=False) -> list[str]\n\nWrites a "
    "volume as structure pieces; returns their paths."};

}  // namespace kubrel::py
