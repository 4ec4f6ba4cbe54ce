// The kernels now live with the run (rss/); tests written against the
// entry's folder include them from here.
#pragma once

#include "rss/rss_fold.h"
