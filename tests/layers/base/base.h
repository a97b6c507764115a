// Not allowed: a layer above.
#include "top/top.h"
