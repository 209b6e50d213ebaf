// Each entry point parses its arguments, runs the core without the lock, and converts the
// result; a failure of the core is raised as KubrelError with its message.
#include "kubrel_native/world.h"

#include <optional>
#include <string>
#include <vector>

#include "kubrel_native/load.h"
#include "py_common/errors.h"
#include "py_common/interpreter_lock.h"
#include "py_common/pyref.h"
#include "world/chunk_decoder.h"
#include "world/chunk_versions.h"
#include "world/region_counts.h"
#include "world/world_box.h"
#include "world/world_folder.h"

namespace kubrel::py {

namespace {

PyObject* raise_core(const Error& error) {
  PyObject* kind = kubrel_error_type();
  if (kind == nullptr) return nullptr;
  return raise_text(kind, error.message);
}

PyObject* optional_int(std::optional<int32_t> value) {
  return value ? PyLong_FromLong(*value) : Py_NewRef(Py_None);
}

// A list built from `items` by `convert` (a new reference per item, or null).
template <class T, class Convert>
PyObject* list_of(const std::vector<T>& items, Convert&& convert) {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(items.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < items.size(); ++i) {
    PyObject* item = convert(items[i]);
    if (item == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list.release();
}

PyObject* bytes_from(const void* data, size_t size) {
  return PyBytes_FromStringAndSize(static_cast<const char*>(data), static_cast<Py_ssize_t>(size));
}

// "i" or "z" (None) data version keyword.
bool data_version_arg(PyObject* value, std::optional<int32_t>& out) {
  if (value == nullptr || value == Py_None) return true;
  long number = PyLong_AsLong(value);
  if (number == -1 && PyErr_Occurred()) return false;
  out = static_cast<int32_t>(number);
  return true;
}

PyObject* world_info(PyObject*, PyObject* args) {
  return guard([&]() -> PyObject* {
    const char* path = nullptr;
    if (!PyArg_ParseTuple(args, "s:world_info", &path)) return nullptr;
    Result<WorldInfo> info = [&] {
      ReleasedLock unlocked;
      return read_world_info(path);
    }();
    if (!info) return raise_core(info.error());
    return Py_BuildValue("(NNN)", optional_int(info->data_version), to_str(info->name),
                         to_str(info->game_version));
  });
}

PyObject* world_dimensions(PyObject*, PyObject* args) {
  return guard([&]() -> PyObject* {
    const char* path = nullptr;
    if (!PyArg_ParseTuple(args, "s:world_dimensions", &path)) return nullptr;
    Result<std::vector<WorldDimension>> found = [&] {
      ReleasedLock unlocked;
      return find_dimensions(path);
    }();
    if (!found) return raise_core(found.error());
    return list_of(*found, [](const WorldDimension& d) {
      return Py_BuildValue("(NN)", to_str(d.name), to_str(d.folder.string()));
    });
  });
}

PyObject* world_region_files(PyObject*, PyObject* args) {
  return guard([&]() -> PyObject* {
    const char* folder = nullptr;
    const char* kind = "region";
    if (!PyArg_ParseTuple(args, "s|s:world_region_files", &folder, &kind)) return nullptr;
    std::vector<std::filesystem::path> files = [&] {
      ReleasedLock unlocked;
      return region_files(folder, kind);
    }();
    return list_of(files, [](const std::filesystem::path& p) { return to_str(p.string()); });
  });
}

PyObject* world_chunks(PyObject*, PyObject* args) {
  return guard([&]() -> PyObject* {
    const char* folder = nullptr;
    if (!PyArg_ParseTuple(args, "s:world_chunks", &folder)) return nullptr;
    Result<std::vector<std::array<int32_t, 2>>> chunks = [&] {
      ReleasedLock unlocked;
      return dimension_chunks(folder);
    }();
    if (!chunks) return raise_core(chunks.error());
    return list_of(
        *chunks, [](const std::array<int32_t, 2>& c) { return Py_BuildValue("(ii)", c[0], c[1]); });
  });
}

// The names of numeric ids of the world at `world` (a path, or null for none: numbered chunks are
// then refused), read where the interpreter's lock is released.
Result<std::optional<LegacyNames>> legacy_names(const char* world) {
  if (!world) return std::optional<LegacyNames>();
  KUBREL_ASSIGN_OR_RETURN(LegacyNames names, read_world_legacy_names(world));
  return std::optional<LegacyNames>(std::move(names));
}

// The volume `read(names)` gives, with the interpreter's lock released while the world's id
// names (when `legacy` names a world) and the volume are read, as the dict load() gives.
template <typename Read>
PyObject* read_volume(const char* legacy, Read read) {
  Result<Volume> volume = [&]() -> Result<Volume> {
    ReleasedLock unlocked;
    KUBREL_ASSIGN_OR_RETURN(std::optional<LegacyNames> names, legacy_names(legacy));
    return read(names ? &*names : nullptr);
  }();
  if (!volume) return raise_core(volume.error());
  return volume_dict(std::move(*volume));
}

PyObject* world_load_box(PyObject*, PyObject* args) {
  return guard([&]() -> PyObject* {
    const char* folder = nullptr;
    WorldBox box;
    PyObject* version = nullptr;
    const char* legacy = nullptr;
    if (!PyArg_ParseTuple(args, "s(iii)(iii)|Oz:world_load_box", &folder, &box.min.x, &box.min.y,
                          &box.min.z, &box.max.x, &box.max.y, &box.max.z, &version, &legacy)) {
      return nullptr;
    }
    std::optional<int32_t> data_version;
    if (!data_version_arg(version, data_version)) return nullptr;
    return read_volume(legacy, [&](const LegacyNames* names) {
      return load_world_box(folder, box, data_version, names);
    });
  });
}

PyObject* world_load_chunk(PyObject*, PyObject* args) {
  return guard([&]() -> PyObject* {
    const char* folder = nullptr;
    int cx = 0, cz = 0;
    PyObject* version = nullptr;
    const char* legacy = nullptr;
    if (!PyArg_ParseTuple(args, "sii|Oz:world_load_chunk", &folder, &cx, &cz, &version, &legacy)) {
      return nullptr;
    }
    std::optional<int32_t> data_version;
    if (!data_version_arg(version, data_version)) return nullptr;
    return read_volume(legacy, [&](const LegacyNames* names) {
      return load_world_chunk(folder, cx, cz, data_version, names);
    });
  });
}

PyObject* world_surface(PyObject*, PyObject* args) {
  return guard([&]() -> PyObject* {
    const char* path = nullptr;
    unsigned x = 0, z = 0;
    if (!PyArg_ParseTuple(args, "sII:world_surface", &path, &x, &z)) return nullptr;
    Result<DecodedChunk> chunk = [&]() -> Result<DecodedChunk> {
      ReleasedLock unlocked;
      KUBREL_ASSIGN_OR_RETURN(RegionFile file, RegionFile::open(path));
      KUBREL_ASSIGN_OR_RETURN(std::optional<PageBuffer> nbt, file.read_chunk(x, z));
      if (!nbt) return fail("no chunk there");
      return decode_chunk(nbt->bytes(), 0, 0, {.records = true, .biomes = false});
    }();
    if (!chunk) return raise_core(chunk.error());
    return Py_BuildValue(
        "(NN)", optional_int(chunk->data_version),
        bytes_from(chunk->world_surface.data(), chunk->world_surface.size() * sizeof(int64_t)));
  });
}

PyObject* count_region(PyObject*, PyObject* args) {
  return guard([&]() -> PyObject* {
    const char* path = nullptr;
    const char* by_name = "world";
    const char* legacy = nullptr;
    if (!PyArg_ParseTuple(args, "s|sz:count_region", &path, &by_name, &legacy)) return nullptr;
    const std::string_view by_text = by_name;
    CountBy by = CountBy::World;
    if (by_text == "y") {
      by = CountBy::Y;
    } else if (by_text == "chunk") {
      by = CountBy::Chunk;
    } else if (by_text != "world") {
      return raise_text(PyExc_ValueError,
                        "by must be 'world', 'y' or 'chunk', not '" + std::string(by_text) + "'");
    }
    Result<RegionCounts> counts = [&]() -> Result<RegionCounts> {
      ReleasedLock unlocked;
      KUBREL_ASSIGN_OR_RETURN(std::optional<LegacyNames> names, legacy_names(legacy));
      return kubrel::count_region(path, by, names ? &*names : nullptr);
    }();
    if (!counts) return raise_core(counts.error());
    PyRef errors = PyRef::steal(list_of(counts->errors, [](const RegionCounts::ChunkError& e) {
      return Py_BuildValue("(iiN)", e.cx, e.cz, to_str(e.message));
    }));
    if (!errors) return nullptr;
    return Py_BuildValue(
        "(NNNN)", list_of(counts->states, [](const std::string& s) { return to_str(s); }),
        bytes_from(counts->counts.data(), counts->counts.size() * sizeof(uint64_t)),
        bytes_from(counts->keys.data(), counts->keys.size() * sizeof(counts->keys[0])),
        errors.release());
  });
}

PyObject* chunk_versions(PyObject*, PyObject* args) {
  return guard([&]() -> PyObject* {
    const char* path = nullptr;
    if (!PyArg_ParseTuple(args, "s:chunk_versions", &path)) return nullptr;
    Result<ChunkVersions> versions = [&] {
      ReleasedLock unlocked;
      return count_chunk_versions(path);
    }();
    if (!versions) return raise_core(versions.error());
    using Count = std::pair<std::optional<int32_t>, uint32_t>;
    return Py_BuildValue("(NI)",
                         list_of(versions->counts,
                                 [](const Count& count) {
                                   return Py_BuildValue("(NI)", optional_int(count.first),
                                                        count.second);
                                 }),
                         versions->unreadable);
  });
}

}  // namespace

#define KUBREL_WORLD_METHOD(name, doc) \
  PyMethodDef name##_method = {#name, reinterpret_cast<PyCFunction>(name), METH_VARARGS, doc};

KUBREL_WORLD_METHOD(world_info, "world_info(folder) -> (data_version, name, game_version)")
KUBREL_WORLD_METHOD(world_dimensions, "world_dimensions(folder) -> [(name, dimension_folder)]")
KUBREL_WORLD_METHOD(world_region_files,
                    "world_region_files(dimension_folder, kind='region') -> [path]")
KUBREL_WORLD_METHOD(world_chunks, "world_chunks(dimension_folder) -> [(cx, cz)]")
KUBREL_WORLD_METHOD(
    world_load_box,
    "world_load_box(dimension_folder, min, max, data_version=None, legacy_world=None) -> dict")
KUBREL_WORLD_METHOD(
    world_load_chunk,
    "world_load_chunk(dimension_folder, cx, cz, data_version=None, legacy_world=None) -> dict")
KUBREL_WORLD_METHOD(world_surface,
                    "world_surface(region_path, x, z) -> (data_version, WORLD_SURFACE longs)")
KUBREL_WORLD_METHOD(chunk_versions,
                    "chunk_versions(region_path) -> ([(data_version, chunks)], unreadable)")
KUBREL_WORLD_METHOD(
    count_region,
    "count_region(region_path, by='world', legacy_world=None) -> (states, counts, keys, errors)")

}  // namespace kubrel::py
