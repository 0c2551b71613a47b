// The way from a quarn_parser.Structure object to its core model, through quarn_parser's capsule.
#pragma once

#include <Python.h>

#include "quarn/companion_api.hpp"
#include "quarn/structure.hpp"

namespace quarn::py {

// Imports quarn_parser and takes its companion table, refusing (ImportError) one this module was not
// built to use. Called once, at module initialisation; false with an exception set on failure.
bool connect_to_quarn_parser() noexcept;

// The table taken by connect_to_quarn_parser(): also the way to make new Structure objects.
const companion::Api& quarn_parser_api() noexcept;

// The model of the argument `structure` of `callable`, borrowed (valid while the object lives);
// nullptr with TypeError naming the callable and the parameter for anything but a Structure.
const Structure* structure_arg(const char* callable, PyObject* object) noexcept;

}  // namespace quarn::py
