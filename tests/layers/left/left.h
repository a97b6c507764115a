// Allowed: the layer below. Not allowed: a peer of the same rank.
#include "base/base.h"
#include "right/right.h"
