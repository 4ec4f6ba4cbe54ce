# Run by CPack on the staging tree of each Debian package, before packing:
# compresses the man pages and adds the copyright file and the changelog
# that every Debian package carries in /usr/share/doc/<package>/.
if(NOT CPACK_GENERATOR STREQUAL "DEB")
    return()
endif()
find_program(gzip_program gzip REQUIRED)

function(gzip_exactly file) # -n: no name or time stamp, so packages are reproducible
    execute_process(COMMAND ${gzip_program} -9nf ${file} RESULT_VARIABLE rc)
    if(NOT rc EQUAL 0)
        message(FATAL_ERROR "gzip ${file} failed")
    endif()
endfunction()

foreach(component IN LISTS CPACK_COMPONENTS_ALL)
    string(TOUPPER ${component} upper)
    set(root ${CPACK_TEMPORARY_INSTALL_DIRECTORY}/${component}${CPACK_PACKAGING_INSTALL_PREFIX})
    if(NOT IS_DIRECTORY ${root})
        continue()
    endif()
    file(GLOB pages ${root}/share/man/man*/*.[1-9])
    foreach(page IN LISTS pages)
        gzip_exactly(${page})
    endforeach()
    set(doc ${root}/share/doc/${CPACK_DEBIAN_${upper}_PACKAGE_NAME})
    file(MAKE_DIRECTORY ${doc})
    file(COPY_FILE ${CPACK_KELVORIN_COPYRIGHT} ${doc}/copyright)
    file(COPY_FILE ${CPACK_KELVORIN_CHANGELOG} ${doc}/changelog)
    gzip_exactly(${doc}/changelog)
    file(CHMOD ${doc}/copyright ${doc}/changelog.gz
         PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
endforeach()
