// The compiled part of the Python package kelvorin (kelvorin._core).
#include "python/src/binding.h"
#include "support/platform_internal.h"

PYBIND11_MODULE(_core, m) {
    m.doc() = "Data files and the RSS run of the Kelvorin library (use the package kelvorin).";
    m.attr("__version__") = KELVORIN_VERSION;
    // Maps are filled right after they are taken: large pages spare most of
    // the page faults of a big map's first use. The hooks are this module's
    // own (its copy of the library), and the blocks still go back through
    // the runtime's free.
    u_malloc_fn = u_malloc_large_pages;
    // The class is kelvorin.DataFile, in its name and in the signatures that
    // help() shows: pybind11 takes a scope's __module__ before its __name__.
    m.attr("__module__") = "kelvorin";
    kvpy_bind_datafile(m);
    py::delattr(m, "__module__");
    kvpy_bind_io(m);
    kvpy_bind_rss(m);
}
