// The shared layer over the CPython C API, in one include.
#pragma once
#include "compat.hpp"
#include "ref.hpp"
#include "convert.hpp"
#include "args.hpp"
#include "function.hpp"
#include "module.hpp"
#include "lock.hpp"
#include "type.hpp"
#include "property.hpp"
