#include "imagefiles.h"

namespace varn {} // namespace varn
