// load(): picks the input (a path, a bytes-like object, a binary file object), runs the core's
// volume loader without the interpreter's lock, and converts the Volume into the dict.
#include "kubrel_native/load.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string_view>

#include "py_common/buffer_view.h"
#include "py_common/errors.h"
#include "py_common/heap_type.h"
#include "py_common/interpreter_lock.h"
#include "py_common/numpy_api.h"
#include "py_common/pyref.h"
#include "py_common/pystream.h"
#include "volume/volume_loader.h"

namespace kubrel::py {

namespace {

std::atomic<PyObject*> error_type{nullptr};

Result<Volume> load_source(PyObject* source, const VolumeLoadOptions& options, bool& raised) {
  raised = false;
  if (!PyUnicode_Check(source) && PyObject_CheckBuffer(source)) {
    BufferView view;
    if (!view.acquire(source)) {
      raised = true;
      return fail("");
    }
    ReleasedLock unlocked;
    return load_volume(view.bytes(), options);
  }
  // A path or a file object; the file object's read() takes the lock back for each call.
  std::shared_ptr<PySourceLink> link;
  std::unique_ptr<ByteSource> input = reader_from(source, link);
  if (!input) {
    raised = true;
    return fail("");
  }
  Result<Volume> volume = [&] {
    ReleasedLock unlocked;
    return load_volume(*input, options);
  }();
  // A KeyboardInterrupt or SystemExit inside read() must reach the caller, not become a message.
  if (!volume && raise_interrupt(link)) raised = true;
  return volume;
}

PyObject* int_triple(const BlockPosition& p) {
  return Py_BuildValue("(iii)", p.x, p.y, p.z);
}

// Positions per axis, (x, y, z). Returns a new reference.
PyObject* size_triple(const std::array<uint32_t, 3>& size) {
  return Py_BuildValue("(kkk)", static_cast<unsigned long>(size[0]),
                       static_cast<unsigned long>(size[1]), static_cast<unsigned long>(size[2]));
}

PyObject* bytes_of(const std::vector<std::byte>& data) {
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data.data()),
                                   static_cast<Py_ssize_t>(data.size()));
}

int set_item(PyObject* dict, const char* key, PyObject* value) {
  PyRef owned = PyRef::steal(value);
  if (!owned) return -1;
  return PyDict_SetItemString(dict, key, owned.get());
}

// [(position, data bytes), ...] for block entities and pending ticks. Returns a new reference.
PyObject* positioned_list(const std::vector<VolumeBlockEntity>& records) {
  PyRef list = PyRef::steal(PyList_New(0));
  if (!list) return nullptr;
  for (const VolumeBlockEntity& record : records) {
    PyRef item =
        PyRef::steal(Py_BuildValue("(NN)", int_triple(record.position), bytes_of(record.data)));
    if (!item || PyList_Append(list.get(), item.get()) < 0) return nullptr;
  }
  return list.release();
}

// A bytes object of `size` bytes for the caller to fill. Returns a new reference.
PyObject* blank_bytes(size_t size) {
  return PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size));
}

// (positions, payloads, offsets): every record's position as three native `Coordinate`s, all
// payloads end to end, and n + 1 native int64 offsets into them. Three objects for any count,
// so that a file of many block entities costs no Python object each until one is asked for.
// Returns a new reference.
template <class Coordinate, class Record, class PositionOf>
PyObject* packed_records(const std::vector<Record>& records, PositionOf&& position_of) {
  size_t total = 0;
  for (const Record& record : records) total += record.data.size();
  PyRef positions = PyRef::steal(blank_bytes(records.size() * 3 * sizeof(Coordinate)));
  PyRef payloads = PyRef::steal(blank_bytes(total));
  PyRef offsets = PyRef::steal(blank_bytes((records.size() + 1) * sizeof(int64_t)));
  if (!positions || !payloads || !offsets) return nullptr;
  char* position_at = PyBytes_AS_STRING(positions.get());
  char* payload_at = PyBytes_AS_STRING(payloads.get());
  char* offset_at = PyBytes_AS_STRING(offsets.get());
  int64_t offset = 0;
  for (const Record& record : records) {
    const std::array<Coordinate, 3> p = position_of(record);
    std::memcpy(position_at, p.data(), sizeof(p));
    position_at += sizeof(p);
    std::memcpy(offset_at, &offset, sizeof(offset));
    offset_at += sizeof(offset);
    if (!record.data.empty())
      std::memcpy(payload_at + offset, record.data.data(), record.data.size());
    offset += static_cast<int64_t>(record.data.size());
  }
  std::memcpy(offset_at, &offset, sizeof(offset));
  return PyTuple_Pack(3, positions.get(), payloads.get(), offsets.get());
}

// The payload's bytes, or None when empty. Returns a new reference.
PyObject* payload_or_none(const NbtCompoundBytes& data) {
  return data.empty() ? Py_NewRef(Py_None) : bytes_of(data);
}

PyObject* block_records(const std::vector<VolumeBlockEntity>& records) {
  return packed_records<int32_t>(records, [](const VolumeBlockEntity& b) {
    return std::array<int32_t, 3>{b.position.x, b.position.y, b.position.z};
  });
}

// A region's own blocks and block entities, (array (y, z, x), packed records), or None where the
// volume's grid holds it as written; takes the blocks' buffer. Returns a new reference.
PyObject* own_parts(Volume::NamedRegion& region) {
  if (region.own_blocks.bytes.empty()) return Py_NewRef(Py_None);
  const Py_ssize_t shape[3] = {static_cast<Py_ssize_t>(region.size[1]),
                               static_cast<Py_ssize_t>(region.size[2]),
                               static_cast<Py_ssize_t>(region.size[0])};
  return Py_BuildValue(
      "(NN)",
      make_unsigned_array(std::move(region.own_blocks.bytes), region.own_blocks.width, shape),
      block_records(region.own_block_entities));
}

// [(name, min, size, file_size, other tags, own parts), ...]: a Litematica file's regions; takes
// their own blocks' buffers. Returns a new reference.
PyObject* region_list(std::vector<Volume::NamedRegion>& regions) {
  PyRef list = PyRef::steal(PyList_New(0));
  if (!list) return nullptr;
  for (Volume::NamedRegion& region : regions) {
    const auto& file_size = region.file_size;
    PyRef item = PyRef::steal(Py_BuildValue("(NNN(iii)NN)", to_str(region.name),
                                            int_triple(region.min), size_triple(region.size),
                                            file_size[0], file_size[1], file_size[2],
                                            payload_or_none(region.other_tags), own_parts(region)));
    if (!item || PyList_Append(list.get(), item.get()) < 0) return nullptr;
  }
  return list.release();
}

// [str, ...]. Returns a new reference.
PyObject* str_list(const std::vector<std::string>& texts) {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(texts.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < texts.size(); ++i) {
    PyObject* text = to_str(texts[i]);
    if (text == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), text);
  }
  return list.release();
}

// (grid, names) or None; takes the grid's buffer. Returns a new reference.
PyObject* biomes_of(std::optional<Volume::Biomes>& biomes, const std::array<uint32_t, 3>& size) {
  if (!biomes) return Py_NewRef(Py_None);
  const Py_ssize_t shape[3] = {static_cast<Py_ssize_t>(biomes->height),
                               static_cast<Py_ssize_t>(size[2]), static_cast<Py_ssize_t>(size[0])};
  return Py_BuildValue(
      "(NN)", make_unsigned_array(std::move(biomes->grid.bytes), biomes->grid.width, shape),
      str_list(biomes->palette));
}

// A structure's palettes: [[str, ...], ...]. Returns a new reference.
PyObject* palette_lists(const std::vector<std::vector<std::string>>& palettes) {
  PyRef list = PyRef::steal(PyList_New(0));
  if (!list) return nullptr;
  for (const auto& palette : palettes) {
    PyRef item = PyRef::steal(str_list(palette));
    if (!item || PyList_Append(list.get(), item.get()) < 0) return nullptr;
  }
  return list.release();
}

}  // namespace

PyObject* volume_dict(Volume volume) {
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict) return nullptr;
  PyRef palette = PyRef::steal(str_list(volume.palette));
  if (!palette) return nullptr;
  PyRef block_entities = PyRef::steal(block_records(volume.block_entities));
  if (!block_entities) return nullptr;
  PyRef entities = PyRef::steal(packed_records<double>(
      volume.entities, [](const VolumeEntity& entity) { return entity.position; }));
  if (!entities) return nullptr;
  const Py_ssize_t shape[3] = {static_cast<Py_ssize_t>(volume.size[1]),
                               static_cast<Py_ssize_t>(volume.size[2]),
                               static_cast<Py_ssize_t>(volume.size[0])};
  std::string_view format = volume_format_name(volume.format);
  PyRef data_version = PyRef::steal(volume.data_version ? PyLong_FromLong(*volume.data_version)
                                                        : Py_NewRef(Py_None));
  PyRef sub_version =
      PyRef::steal(volume.sub_version ? PyLong_FromLong(*volume.sub_version) : Py_NewRef(Py_None));
  PyRef metadata = PyRef::steal(payload_or_none(volume.metadata));
  PyRef paste_origin =
      PyRef::steal(volume.paste_origin ? int_triple(*volume.paste_origin) : Py_NewRef(Py_None));
  if (set_item(dict.get(), "format", to_str(format)) < 0 ||
      set_item(dict.get(), "version", PyLong_FromLong(volume.version)) < 0 ||
      set_item(dict.get(), "data_version", data_version.release()) < 0 ||
      set_item(dict.get(), "origin", int_triple(volume.origin)) < 0 ||
      set_item(dict.get(), "size", size_triple(volume.size)) < 0 ||
      set_item(dict.get(), "palette", palette.release()) < 0 ||
      set_item(dict.get(), "blocks",
               make_unsigned_array(std::move(volume.blocks.bytes), volume.blocks.width, shape)) <
          0 ||
      set_item(dict.get(), "palette_count", PyLong_FromUnsignedLong(volume.palette_count)) < 0 ||
      set_item(dict.get(), "block_entities", block_entities.release()) < 0 ||
      set_item(dict.get(), "entities", entities.release()) < 0 ||
      set_item(dict.get(), "regions", region_list(volume.regions)) < 0 ||
      set_item(dict.get(), "sub_version", sub_version.release()) < 0 ||
      set_item(dict.get(), "metadata", metadata.release()) < 0 ||
      set_item(dict.get(), "other_tags", payload_or_none(volume.other_tags)) < 0 ||
      set_item(dict.get(), "paste_origin", paste_origin.release()) < 0 ||
      set_item(dict.get(), "palettes", palette_lists(volume.palettes)) < 0 ||
      set_item(dict.get(), "biomes", biomes_of(volume.biomes, volume.size)) < 0 ||
      set_item(dict.get(), "pending_block_ticks", positioned_list(volume.pending_block_ticks)) <
          0 ||
      set_item(dict.get(), "pending_fluid_ticks", positioned_list(volume.pending_fluid_ticks)) <
          0) {
    return nullptr;
  }
  return dict.release();
}

namespace {

PyObject* load(PyObject*, PyObject* args, PyObject* kwargs) {
  return guard([&]() -> PyObject* {
    static const char* keywords[] = {"source",       "format", "palette", "region",
                                     "max_document", "legacy", nullptr};
    PyObject* source = nullptr;
    const char* format = nullptr;
    Py_ssize_t palette = 0;
    const char* region = nullptr;
    auto max_document = static_cast<Py_ssize_t>(kDefaultMaxDocument);
    int legacy = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|znznp:load", const_cast<char**>(keywords),
                                     &source, &format, &palette, &region, &max_document, &legacy)) {
      return nullptr;
    }
    VolumeLoadOptions options;
    if (!format_option(format, options.format)) return nullptr;
    if (palette < 0 || palette > UINT32_MAX) {
      return raise_text(PyExc_ValueError, "palette must be a non-negative index");
    }
    options.palette = static_cast<uint32_t>(palette);
    if (max_document < 0) {
      return raise_text(PyExc_ValueError, "max_document must be a non-negative number of bytes");
    }
    options.max_document = static_cast<uint64_t>(max_document);
    if (region != nullptr) options.region = std::string(region);
    options.legacy = legacy != 0;
    PyObject* kind = kubrel_error_type();
    if (kind == nullptr) return nullptr;
    bool raised = false;
    Result<Volume> volume = load_source(source, options, raised);
    if (raised) return nullptr;
    if (!volume) return raise_text(kind, volume.error().message);
    return volume_dict(std::move(*volume));
  });
}

}  // namespace

std::optional<VolumeFormat> format_named(std::string_view name) {
  for (VolumeFormat format : {VolumeFormat::Sponge, VolumeFormat::Structure, VolumeFormat::Kbr,
                              VolumeFormat::Litematic, VolumeFormat::Schematic}) {
    if (name == volume_format_name(format)) return format;
  }
  return std::nullopt;
}

bool format_option(const char* name, std::optional<VolumeFormat>& format) {
  if (name == nullptr) return true;
  format = format_named(name);
  if (format) return true;
  raise_text(
      PyExc_ValueError,
      "format must be None, 'sponge', 'structure', 'kbr', 'litematic' or 'schematic', not '" +
          std::string(name) + "'");
  return false;
}

PyObject* kubrel_error_type() {
  PyObject* type = error_type.load(std::memory_order_acquire);
  if (type != nullptr) return type;
  return keep_first(error_type, PyErr_NewExceptionWithDoc(
                                    "kubrel._native.KubrelError",
                                    "A schematic that kubrel cannot read: broken, hostile, or of "
                                    "no supported format.",
                                    PyExc_ValueError, nullptr));
}

PyMethodDef load_method = {
    "load", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(load)),
    METH_VARARGS | METH_KEYWORDS,
    "load(source, format=None, palette=0, region=None, "
    "max_document=MAX_DOCUMENT, legacy=False) -> dict\n\nReads a whole schematic (a "
    "path, a bytes-like object or a binary file object; gzip or not) into "
    "arrays, refusing one that holds more than max_document bytes."};

}  // namespace kubrel::py
