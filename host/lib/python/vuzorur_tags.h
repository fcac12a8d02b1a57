// The module's tags (vuzorur_tags.cpp): the class Tags and Line.tags.
#pragma once

#include <pybind11/pybind11.h>

#include <memory>

#include "py_line.h"
#include "session/gates/gate_access.h"

namespace qel::python {

// Registers the class Tags, what Line.tags gives.
void BindTags(pybind11::module_& m);
// Line.tags(source): the named tags of a gate list (a path or a dict) on the line.
pybind11::object LineTags(const std::shared_ptr<Line>& line, const pybind11::object& source);
// Raises the module's exception for a failed gate call (vuzorur_module.cpp).
[[noreturn]] void RaiseGate(const session::GateResult& result);

}  // namespace qel::python
