# Install folders from GNUInstallDirs. On Debian and its derivatives the
# libraries, the CMake package and the pkg-config file go to the multiarch
# folder (lib/x86_64-linux-gnu) under any prefix, as Debian's own packages
# have them and as the linker, pkg-config and find_package look for them;
# -DCMAKE_INSTALL_LIBDIR=lib chooses the plain folder.
if(NOT WIN32 AND NOT DEFINED CMAKE_INSTALL_LIBDIR AND CMAKE_LIBRARY_ARCHITECTURE
   AND EXISTS /etc/debian_version)
    set(CMAKE_INSTALL_LIBDIR lib/${CMAKE_LIBRARY_ARCHITECTURE}
        CACHE PATH "Object code libraries (LIBDIR)")
endif()
include(GNUInstallDirs)
