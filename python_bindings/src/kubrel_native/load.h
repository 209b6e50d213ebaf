// kubrel._native.load(): a whole schematic read and decoded by the core into a dict of arrays and
// plain values (see volume-interface in the developers' guide for its keys), with the
// interpreter's lock released while the core works.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <optional>
#include <string_view>

#include "volume/volume.h"

namespace kubrel::py {

extern PyMethodDef load_method;

// The format of a name of the interface ("sponge", "structure", "kbr", "litematic"), none for
// any other.
std::optional<VolumeFormat> format_named(std::string_view name);

// Sets `format` from the keyword's value `name` (null for None, which leaves it unset); false
// with a ValueError set for a name of no format.
bool format_option(const char* name, std::optional<VolumeFormat>& format);

// The dict of the interface (the keys load() gives); takes the volume's buffers. Returns a new
// reference.
PyObject* volume_dict(Volume volume);

// The exception class of the module, a ValueError subclass (created once per process); a
// borrowed reference, or null with an error set.
PyObject* kubrel_error_type();

}  // namespace kubrel::py
