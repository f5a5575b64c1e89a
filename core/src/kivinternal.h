/*
 * kivinternal.h - declarations shared by the library's sources but not
 * exported: the start and stop hooks of each subsystem.
 */
#ifndef KIVINTERNAL_H
#define KIVINTERNAL_H

#include "kivbase.h"

/* Process attach, in this order, once per process. */
KIV_LOCAL void kivLatchProcessInit();      /* spin tuning and the TSC probe */

/* Process detach. */
KIV_LOCAL void kivProcessAttach();
KIV_LOCAL void kivProcessDetach();

#endif /* KIVINTERNAL_H */
