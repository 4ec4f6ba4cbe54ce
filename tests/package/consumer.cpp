// A program outside the project that uses the installed library: reads a data
// file, writes it back under another name and checks that the copy holds the
// same bytes. Built by run.sh with find_package, with pkg-config and through
// add_subdirectory.
#include <kelvorin/datafile.h>
#include <kelvorin/maps.h>
#include <kelvorin/support.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

// Only the public headers may be reachable.
#if __has_include(<datafile/header_image.h>) || __has_include(<datafile/datafile.h>) ||            \
    __has_include(<tests/common/df_builder.h>) || __has_include(<tool/tool.h>)
#error "the project's internal headers are on the include path"
#endif

static std::string file_bytes(const char *path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

int main(int argc, char **argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: consumer IN.dat OUT.dat\n");
        return 2;
    }
    df_info_t info{};
    df_hdr_t hdr{};
    intens_map_t intens{};
    int_map_t phase;
    int_map_init(&phase);
    int32_t code = df_read(argv[1], &info, &hdr, &intens, &phase);
    if (code == 0) {
        code = df_write(argv[2], &info, &hdr, intens.matrix ? &intens : nullptr, &phase);
    }
    const int32_t width = phase.window.width, height = phase.window.height;
    int_map_free(&phase);
    intens_map_free(&intens);
    if (code != 0) {
        std::fprintf(stderr, "consumer: %s\n", u_error_name(code));
        return 1;
    }
    if (file_bytes(argv[1]) != file_bytes(argv[2])) {
        std::fprintf(stderr, "consumer: %s and %s differ\n", argv[1], argv[2]);
        return 1;
    }
    std::printf("consumer: %s read and written back (%dx%d phase map)\n", argv[1], width, height);
    return 0;
}
