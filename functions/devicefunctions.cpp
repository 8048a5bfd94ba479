#include "devicefunctions.h"

namespace varn {} // namespace varn
