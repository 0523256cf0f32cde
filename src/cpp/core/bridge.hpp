// Everything a module of the bridge needs from the shared core.
#pragma once

#include "core/args.hpp"
#include "core/guard.hpp"
#include "core/locks.hpp"
#include "core/log.hpp"
#include "core/names.hpp"
#include "core/paths.hpp"
#include "core/proc.hpp"
#include "core/py.hpp"
