// The broker-independent layer: what every broker module includes.
#pragma once
#include "error.hpp"
#include "function.hpp"
#include "module.hpp"
#include "ops.hpp"
#include "records.hpp"
