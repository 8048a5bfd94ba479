#include "unitcommands.h"

namespace varn {} // namespace varn
