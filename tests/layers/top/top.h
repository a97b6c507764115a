// Allowed: a layer includes the ones below it.
#include "base/base.h"
#include "left/left.h"
