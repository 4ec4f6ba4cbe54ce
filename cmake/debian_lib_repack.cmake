# Run by CPack after the Debian packages are made: packs the shared
# library's package again without the maintainer scripts that CPack adds to
# call ldconfig, since its triggers file asks dpkg to run ldconfig instead
# (Debian's rule for libraries).
if(NOT CPACK_GENERATOR STREQUAL "DEB" OR NOT CPACK_KELVORIN_LIB_DEB)
    return()
endif()
foreach(deb IN LISTS CPACK_PACKAGE_FILES)
    get_filename_component(name ${deb} NAME)
    if(NOT name STREQUAL CPACK_KELVORIN_LIB_DEB)
        continue()
    endif()
    set(tree ${deb}.tree)
    file(REMOVE_RECURSE ${tree})
    execute_process(COMMAND dpkg-deb -R ${deb} ${tree} RESULT_VARIABLE rc)
    if(NOT rc EQUAL 0)
        message(FATAL_ERROR "dpkg-deb -R ${deb} failed")
    endif()
    file(REMOVE ${tree}/DEBIAN/postinst ${tree}/DEBIAN/postrm)
    execute_process(COMMAND dpkg-deb --root-owner-group -Zxz -b ${tree} ${deb}
                    RESULT_VARIABLE rc OUTPUT_QUIET)
    file(REMOVE_RECURSE ${tree})
    if(NOT rc EQUAL 0)
        message(FATAL_ERROR "dpkg-deb -b ${deb} failed")
    endif()
endforeach()
