#include "tool/tool.h"
