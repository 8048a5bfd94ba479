#include "bufferops.h"

namespace varn {} // namespace varn
