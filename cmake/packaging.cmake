# Packages, made by `cpack` in a build folder (after the build):
#   Linux    kelvorin_<version>_amd64.deb      programs, man pages, docs (runtime)
#            libkelvorin2_<version>_amd64.deb  the shared library (lib)
#            kelvorin-dev_<version>_amd64.deb  libraries, headers, CMake and
#                                              pkg-config files (dev)
#            python3-kelvorin_<version>_amd64.deb  the Python module (python,
#                                              when KELVORIN_PYTHON is on)
#   Windows  kelvorin-<version>-win64.zip      programs, examples, guide, and
#                                              kelvorin.dll with its import
#                                              library and headers (runtime)

set(KELVORIN_PACKAGE_MAINTAINER "Kelvorin maintainers <kelvorin@example.org>"
    CACHE STRING "Name and mail address of the packages' maintainer")

set(CPACK_PACKAGE_NAME kelvorin)
set(CPACK_PACKAGE_VENDOR "Kelvorin")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT ${KELVORIN_PACKAGE_MAINTAINER})
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_OUTPUT_FILE_PREFIX ${PROJECT_BINARY_DIR}/packages)

if(WIN32)
    set(CPACK_GENERATOR ZIP)
    set(CPACK_SYSTEM_NAME win64)
    set(CPACK_COMPONENTS_ALL runtime)
    set(CPACK_ARCHIVE_COMPONENT_INSTALL ON)
    set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
    set(CPACK_COMPONENT_INCLUDE_TOPLEVEL_DIRECTORY ON)
else()
    set(CPACK_GENERATOR DEB)
    set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
    set(CPACK_DEB_COMPONENT_INSTALL ON)
    set(CPACK_COMPONENTS_ALL runtime dev)
    if(TARGET kv_shared)
        list(APPEND CPACK_COMPONENTS_ALL lib)
    endif()
    if(KELVORIN_PYTHON)
        list(APPEND CPACK_COMPONENTS_ALL python)
    endif()
    set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
    set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${KELVORIN_PACKAGE_MAINTAINER})
    set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)

    set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME kelvorin)
    set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION science)
    set(CPACK_COMPONENT_RUNTIME_DESCRIPTION
        "RSS of interferometer standard-deviation maps
Kelvorin reads the height maps of interferometer data files that hold
standard deviations and writes, for every camera pixel, the root of the sum
of the squares of the input heights as a new data file of the same format.")

    # The shared library, named after its SONAME as Debian's rules ask. Its
    # symbols file lists every exported name with the version that brought
    # it (all 2.0 so far; a name added later gets its own version), and
    # programs linked against it depend on that version or later.
    set(kelvorin_soname libkelvorin.so.${PROJECT_VERSION_MAJOR})
    set(kelvorin_lib_package libkelvorin${PROJECT_VERSION_MAJOR})
    set(CPACK_DEBIAN_LIB_PACKAGE_NAME ${kelvorin_lib_package})
    set(CPACK_DEBIAN_LIB_PACKAGE_SECTION libs)
    set(CPACK_COMPONENT_LIB_DESCRIPTION
        "library for interferometer data files and their RSS
The Kelvorin library reads, checks and writes the interferometer data files
that Kelvorin works on, and computes the RSS of several files' height maps.
It has a C interface for programs in any language that can call a C
library.")
    include(${PROJECT_SOURCE_DIR}/cmake/public_names.cmake)
    kelvorin_public_names(kelvorin_exports ${PROJECT_SOURCE_DIR}/support/support.h
                          ${PROJECT_SOURCE_DIR}/maps/maps.h ${PROJECT_SOURCE_DIR}/datafile/datafile.h
                          ${PROJECT_SOURCE_DIR}/rss/rss.h)
    set(symbols "${kelvorin_soname} ${kelvorin_lib_package} #MINVER#\n")
    string(APPEND symbols "* Build-Depends-Package: kelvorin-dev\n")
    foreach(name IN LISTS kelvorin_exports)
        string(APPEND symbols " ${name}@Base 2.0\n")
    endforeach()
    file(WRITE ${PROJECT_BINARY_DIR}/package/lib/symbols "${symbols}")
    file(WRITE ${PROJECT_BINARY_DIR}/package/lib/shlibs
         "libkelvorin ${PROJECT_VERSION_MAJOR} ${kelvorin_lib_package} (>= 2.0)\n")
    file(WRITE ${PROJECT_BINARY_DIR}/package/lib/triggers "activate-noawait ldconfig\n")
    set(CPACK_DEBIAN_LIB_PACKAGE_CONTROL_EXTRA ${PROJECT_BINARY_DIR}/package/lib/symbols
        ${PROJECT_BINARY_DIR}/package/lib/shlibs ${PROJECT_BINARY_DIR}/package/lib/triggers)
    set(CPACK_DEBIAN_LIB_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
    # CPack adds maintainer scripts that call ldconfig for a library in
    # /usr/lib, which Debian leaves to the trigger above: the package is
    # packed again without them.
    set(CPACK_KELVORIN_LIB_DEB ${kelvorin_lib_package}_${PROJECT_VERSION}_amd64.deb)
    set(CPACK_POST_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/debian_lib_repack.cmake)

    set(CPACK_DEBIAN_DEV_PACKAGE_NAME kelvorin-dev)
    set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
    if(TARGET kv_shared)
        set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS
            "${kelvorin_lib_package} (= ${PROJECT_VERSION})")
    endif()
    set(CPACK_COMPONENT_DEV_DESCRIPTION
        "library for reading and writing interferometer data files (development)
The C headers, the link to the shared library and the static libraries with
which programs read, check and write the interferometer data files that
Kelvorin works on and compute their RSS, with a CMake package
(find_package(Kelvorin)) and pkg-config files (kelvorin, kelvorin-static).")

    # The module is built for one interpreter version (its file name says
    # which ABI), so the package asks for exactly that one.
    set(CPACK_DEBIAN_PYTHON_PACKAGE_NAME python3-kelvorin)
    set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
    set(python_version ${Python3_VERSION_MAJOR}.${Python3_VERSION_MINOR})
    math(EXPR python_next "${Python3_VERSION_MINOR} + 1")
    set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS
        "python3 (>= ${python_version}~), python3 (<< ${Python3_VERSION_MAJOR}.${python_next}), python3-numpy")
    set(CPACK_COMPONENT_PYTHON_DESCRIPTION
        "Python module for interferometer data files
The module kelvorin reads, checks and writes the interferometer data files
that Kelvorin works on, with their height maps as numpy arrays, and runs the
RSS of several files' height maps in the Python process.")

    # Debian's rules for what every package holds (compressed man pages,
    # copyright file and changelog per package) are applied to the packages'
    # staging trees only; a plain `cmake --install` stays as it is.
    configure_file(${PROJECT_SOURCE_DIR}/docs/debian/changelog.in
                   ${PROJECT_BINARY_DIR}/package/changelog @ONLY)
    set(CPACK_KELVORIN_CHANGELOG ${PROJECT_BINARY_DIR}/package/changelog)
    set(CPACK_KELVORIN_COPYRIGHT ${PROJECT_SOURCE_DIR}/docs/debian/copyright)
    set(CPACK_KELVORIN_STRIP ${CMAKE_STRIP})
    set(CPACK_PRE_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/debian_files.cmake)
endif()

include(CPack)
