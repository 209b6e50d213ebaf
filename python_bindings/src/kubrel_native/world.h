// The world reader's entry points of kubrel._native: level.dat, dimensions, region files and
// chunks of a world folder, a box or a chunk read into the dict that load() gives, and the block
// counts of one region file. Paths come as str; the core works with the interpreter's lock
// released.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace kubrel::py {

extern PyMethodDef world_info_method;
extern PyMethodDef world_dimensions_method;
extern PyMethodDef world_region_files_method;
extern PyMethodDef world_chunks_method;
extern PyMethodDef world_load_box_method;
extern PyMethodDef world_load_chunk_method;
extern PyMethodDef world_surface_method;
extern PyMethodDef count_region_method;
extern PyMethodDef chunk_versions_method;

}  // namespace kubrel::py
