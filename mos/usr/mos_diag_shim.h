// TEMPORARY: stands in for the diagnostic counter table until it is in the tree; delete then.
#pragma once

#define MOS_DIAG_COUNT(name) ((void)0)
