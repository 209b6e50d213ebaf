// PyBlockPosition: three signed coordinates with accessor methods and the "(x, y, z)" text form.
#include "kubrel_rs/py_block_position.h"

#include "py_common/errors.h"
#include "py_common/value_class.h"

namespace kubrel::py {

namespace {

using PositionClass = ValueClass<BlockPosition>;

PyMethodDef methods[] = {
    {"x", PositionClass::method<[](const BlockPosition& p) { return PyLong_FromLong(p.x); }>,
     METH_NOARGS, "x($self)\n--\n\n"},
    {"y", PositionClass::method<[](const BlockPosition& p) { return PyLong_FromLong(p.y); }>,
     METH_NOARGS, "y($self)\n--\n\n"},
    {"z", PositionClass::method<[](const BlockPosition& p) { return PyLong_FromLong(p.z); }>,
     METH_NOARGS, "z($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PositionClass position_class({
    .name = "builtins.PyBlockPosition",
    .methods = methods,
    .text =
        PositionClass::text_slot<[](const BlockPosition& p) { return to_str(position_text(p)); }>,
});

}  // namespace

std::string position_text(const BlockPosition& position) {
  return "(" + std::to_string(position.x) + ", " + std::to_string(position.y) + ", " +
         std::to_string(position.z) + ")";
}

PyObject* make_block_position(const BlockPosition& position) {
  return position_class.make(position);
}

}  // namespace kubrel::py
