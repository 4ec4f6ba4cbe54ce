// The compiled part of the Python package kelvorin (kelvorin._core).
#include "python/src/binding.h"

PYBIND11_MODULE(_core, m) {
    m.doc() = "Data files and the RSS run of the Kelvorin library (use the package kelvorin).";
    m.attr("__version__") = KELVORIN_VERSION;
    kvpy_bind_datafile(m);
    kvpy_bind_io(m);
    kvpy_bind_rss(m);
}
