// Everything a module's glue file needs from the shared layer.
#pragma once

#include "support/args.hpp"
#include "support/buffer.hpp"
#include "support/calls.hpp"
#include "support/convert.hpp"
#include "support/core.hpp"
#include "support/object.hpp"
#include "support/parallel.hpp"
