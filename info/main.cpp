// Process entry of kelvorin-info: the exit status comes from info_main.
#include "info/info.h"

#include <cstdlib>

int main(int argc, char **argv) {
    std::exit(info_main(argc, argv));
}
