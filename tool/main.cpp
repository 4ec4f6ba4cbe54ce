// Process entry: the exit status comes from the driver.
#include "tool/tool.h"

#include <cstdlib>

int main(int argc, char **argv) {
    std::exit(tool_main(argc, argv));
}
