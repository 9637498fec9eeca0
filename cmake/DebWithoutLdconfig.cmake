# CPack post-build script: takes the ldconfig calls out of the .deb.
#
# CPack writes a postinst and a postrm that run ldconfig whenever a shared library lies under /usr/lib,
# and offers no switch against it. libquorlin.so is private to the programs in /usr/lib/gathra (they load
# it with dlopen from beside themselves), so it needs no ldconfig; the package is rebuilt without the two
# scripts when they do nothing else.
foreach(package IN LISTS CPACK_PACKAGE_FILES)
    if(NOT package MATCHES "\\.deb$")
        continue()
    endif()
    set(tree ${CPACK_TOPLEVEL_DIRECTORY}/deb-without-ldconfig)
    file(REMOVE_RECURSE ${tree})
    execute_process(COMMAND dpkg-deb -R ${package} ${tree} RESULT_VARIABLE failed)
    if(failed)
        message(FATAL_ERROR "dpkg-deb -R ${package} failed")
    endif()
    set(changed FALSE)
    foreach(script postinst postrm)
        set(path ${tree}/DEBIAN/${script})
        if(EXISTS ${path})
            file(READ ${path} text)
            # Only the lines CPack writes: the interpreter, "set -e", the ldconfig call and its guard.
            string(REGEX REPLACE "#![^\n]*\n|set -e\n|if \\[ \"\\$1\" = \"[a-z]+\" \\]; then\n|ldconfig\n|fi\n|[ \t\n]" ""
                   rest "${text}")
            if(rest STREQUAL "")
                file(REMOVE ${path})
                set(changed TRUE)
            endif()
        endif()
    endforeach()
    if(changed)
        execute_process(COMMAND dpkg-deb --root-owner-group -Zgzip -b ${tree} ${package}
                        OUTPUT_QUIET RESULT_VARIABLE failed)
        if(failed)
            message(FATAL_ERROR "dpkg-deb -b ${package} failed")
        endif()
    endif()
    file(REMOVE_RECURSE ${tree})
endforeach()
