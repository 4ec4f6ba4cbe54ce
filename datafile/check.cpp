#include "datafile/datafile.h"
