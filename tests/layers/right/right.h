// Allowed: its own folder.
#include "right/right_detail.h"
