// placeholder, replaced by the latch implementation
#include "kivinternal.h"
void kivLatchProcessInit() {}
