# Install rules, in three components:
#   runtime  the programs, their man pages, the README and the example files
#            (on Windows: the programs at the top, the examples and the guide
#            as a text file with CR LF line ends, and for programs in other
#            languages kelvorin.dll beside them, with its import library,
#            export list and headers, for the zip)
#   lib      the shared library libkelvorin.so.2 (Linux)
#   dev      the static libraries, the link libkelvorin.so, the public
#            headers, the CMake package (find_package(Kelvorin)) and the
#            pkg-config files kelvorin.pc (shared) and kelvorin-static.pc
# Included from the top-level CMakeLists.txt after every target is defined,
# so that kelvorin-info is installed when it is part of the build.

include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

if(WIN32)
    set(kelvorin_program_dir .)
    set(kelvorin_examples_dir examples)
else()
    set(kelvorin_program_dir ${CMAKE_INSTALL_BINDIR})
    set(kelvorin_examples_dir ${CMAKE_INSTALL_DOCDIR}/examples)
endif()

# --- runtime -------------------------------------------------------------------
foreach(program kelvorin kelvorin-info)
    if(TARGET ${program})
        install(TARGETS ${program} RUNTIME DESTINATION ${kelvorin_program_dir} COMPONENT runtime)
    endif()
endforeach()

file(GLOB kelvorin_example_files CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/examples/*.dat)
install(FILES ${kelvorin_example_files} DESTINATION ${kelvorin_examples_dir} COMPONENT runtime)

if(WIN32)
    # The README's user guide as plain text with Windows line ends.
    file(READ ${PROJECT_SOURCE_DIR}/README.md readme)
    string(FIND "${readme}" "\n## User guide\n" guide_start)
    if(guide_start LESS 0)
        message(FATAL_ERROR "README.md has no \"## User guide\" section")
    endif()
    math(EXPR guide_start "${guide_start} + 15")
    string(SUBSTRING "${readme}" ${guide_start} -1 guide)
    string(REGEX REPLACE "\n## .*" "\n" guide "${guide}")
    string(REPLACE "\n" "\r\n" guide "Kelvorin ${PROJECT_VERSION}: user guide\n${guide}")
    file(WRITE ${PROJECT_BINARY_DIR}/kelvorin-guide.txt "${guide}")
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/README.md)
    install(FILES ${PROJECT_BINARY_DIR}/kelvorin-guide.txt DESTINATION . COMPONENT runtime)
else()
    foreach(page kelvorin kelvorin-info)
        if(TARGET ${page})
            configure_file(${PROJECT_SOURCE_DIR}/docs/man/${page}.1.in
                           ${PROJECT_BINARY_DIR}/man/${page}.1 @ONLY)
            install(FILES ${PROJECT_BINARY_DIR}/man/${page}.1
                    DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT runtime)
        endif()
    endforeach()
    install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR}
            COMPONENT runtime)
endif()

# --- dev -------------------------------------------------------------------------
set(kelvorin_cmake_dir ${CMAKE_INSTALL_LIBDIR}/cmake/Kelvorin)

install(TARGETS kv_support kv_maps kv_datafile kv_rss kv_kelvorin EXPORT KelvorinTargets
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev)
if(TARGET kv_shared)
    if(WIN32)
        install(TARGETS kv_shared EXPORT KelvorinTargets
                RUNTIME DESTINATION . COMPONENT runtime
                ARCHIVE DESTINATION lib COMPONENT runtime)
        install(FILES ${PROJECT_BINARY_DIR}/kelvorin.def DESTINATION lib COMPONENT runtime)
        install(FILES ${KELVORIN_PUBLIC_HEADER_COPIES} DESTINATION include/kelvorin
                COMPONENT runtime)
    else()
        install(TARGETS kv_shared EXPORT KelvorinTargets
                LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT lib NAMELINK_COMPONENT dev)
    endif()
endif()
install(FILES ${KELVORIN_PUBLIC_HEADER_COPIES} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/kelvorin
        COMPONENT dev)
install(EXPORT KelvorinTargets NAMESPACE Kelvorin:: DESTINATION ${kelvorin_cmake_dir}
        COMPONENT dev)

configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/KelvorinConfig.cmake.in
                              ${PROJECT_BINARY_DIR}/package/KelvorinConfig.cmake
                              INSTALL_DESTINATION ${kelvorin_cmake_dir})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/package/KelvorinConfigVersion.cmake
                                 COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/package/KelvorinConfig.cmake
              ${PROJECT_BINARY_DIR}/package/KelvorinConfigVersion.cmake
        DESTINATION ${kelvorin_cmake_dir} COMPONENT dev)

# pkg-config finds the prefix from the file's own place, so an installed tree
# can be moved.
file(RELATIVE_PATH kelvorin_pc_to_prefix /${CMAKE_INSTALL_LIBDIR}/pkgconfig /)
string(REGEX REPLACE "/$" "" kelvorin_pc_to_prefix "${kelvorin_pc_to_prefix}")
set(kelvorin_pc_files)
foreach(pc kelvorin-static kelvorin)
    if(pc STREQUAL kelvorin AND NOT TARGET kv_shared)
        continue()
    endif()
    configure_file(${PROJECT_SOURCE_DIR}/cmake/${pc}.pc.in ${PROJECT_BINARY_DIR}/package/${pc}.pc
                   @ONLY)
    list(APPEND kelvorin_pc_files ${PROJECT_BINARY_DIR}/package/${pc}.pc)
endforeach()
install(FILES ${kelvorin_pc_files} DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT dev)
