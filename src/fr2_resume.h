// --resume: a walk continued from its checkpoint. The file is read and
// checked, the options given beside --resume are compared with the walk's
// own, the output must hold what the checkpoint committed; then the walk's
// directories are queued again.
#pragma once

#include <stdint.h>

#include "fr2_config.h"

// Reads and checks the checkpoint named in cfg->resume, compares the options
// given beside it, and fills cfg with the walk's own (root, output, options).
// Nothing is touched. 0, or the exit status after one line.
int fr2_resume_load(fr2_config *cfg);
// The resumed walk's length of committed output, and the seconds its earlier
// runs took (0 without a resume).
int64_t fr2_resume_committed(void);
int64_t fr2_resume_elapsed(void);
// Queues the directories of the loaded checkpoint and sets the totals to what
// the earlier runs listed. Before the workers start.
void fr2_resume_restore(void);
