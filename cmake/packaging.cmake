# Packages, made by `cpack` in a build folder (after the build):
#   Linux    kelvorin_<version>_amd64.deb      programs, man pages, docs (runtime)
#            kelvorin-dev_<version>_amd64.deb  libraries, headers, CMake and
#                                              pkg-config files (dev)
#            python3-kelvorin_<version>_amd64.deb  the Python module (python,
#                                              when KELVORIN_PYTHON is on)
#   Windows  kelvorin-<version>-win64.zip      programs, examples, guide (runtime)

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

    set(CPACK_DEBIAN_DEV_PACKAGE_NAME kelvorin-dev)
    set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
    set(CPACK_COMPONENT_DEV_DESCRIPTION
        "library for reading and writing interferometer data files
The static libraries and C++ headers with which programs read, check and
write the interferometer data files that Kelvorin works on, with a CMake
package (find_package(Kelvorin)) and a pkg-config file (kelvorin).")

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
