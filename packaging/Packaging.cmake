# Installation as a Linux desktop program: binaries, desktop entry, icon, AppStream metadata, man pages,
# file capabilities for capture, and the Debian package (cpack -G DEB).
include(GNUInstallDirs)

set(FLOWSENTRY_APP_ID "example.flowsentry.Flowsentry")
set(_pkg_dir ${CMAKE_CURRENT_LIST_DIR})
set(_pkg_out ${CMAKE_BINARY_DIR}/packaging)
set(_doc_dir ${CMAKE_INSTALL_DATADIR}/doc/flowsentry)

# Every installed file, relative to the prefix; the install check test compares against it.
set(FLOWSENTRY_INSTALLED_FILES "")

set(_programs "")
if(TARGET flowsentry)
    list(APPEND _programs flowsentry)
endif()
if(TARGET flowsentry-cli)
    list(APPEND _programs flowsentry-cli)
endif()
if(_programs)
    install(TARGETS ${_programs} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
    foreach(_program IN LISTS _programs)
        list(APPEND FLOWSENTRY_INSTALLED_FILES ${CMAKE_INSTALL_BINDIR}/${_program})
    endforeach()
endif()

# Man pages and the Debian changelog are installed gzipped, as Debian policy asks (-n: no time stamp).
set(_man_pages flowsentry-cli.1)
set(_changelog ${_pkg_out}/changelog.Debian)
if(FLOWSENTRY_BUILD_GUI)
    list(APPEND _man_pages flowsentry.1)
endif()
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
configure_file(${_pkg_dir}/debian/changelog.in ${_changelog} @ONLY)
set(_gzipped "")
foreach(_source IN LISTS _man_pages)
    list(APPEND _gzipped ${_pkg_dir}/man/${_source})
endforeach()
list(APPEND _gzipped ${_changelog})
set(_gzip_outputs "")
foreach(_source IN LISTS _gzipped)
    get_filename_component(_name ${_source} NAME)
    add_custom_command(OUTPUT ${_pkg_out}/${_name}.gz
        COMMAND sh -c "gzip -9n -c \"$0\" > \"$1\"" ${_source} ${_pkg_out}/${_name}.gz
        DEPENDS ${_source}
        COMMENT "Compressing ${_name}"
        VERBATIM)
    list(APPEND _gzip_outputs ${_pkg_out}/${_name}.gz)
endforeach()
add_custom_target(flowsentry_packaging_data ALL DEPENDS ${_gzip_outputs})

foreach(_page IN LISTS _man_pages)
    install(FILES ${_pkg_out}/${_page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
    list(APPEND FLOWSENTRY_INSTALLED_FILES ${CMAKE_INSTALL_MANDIR}/man1/${_page}.gz)
endforeach()
install(FILES ${_pkg_dir}/debian/copyright DESTINATION ${_doc_dir})
install(FILES ${_pkg_out}/changelog.Debian.gz DESTINATION ${_doc_dir})
list(APPEND FLOWSENTRY_INSTALLED_FILES ${_doc_dir}/copyright ${_doc_dir}/changelog.Debian.gz)

if(FLOWSENTRY_BUILD_GUI)
    configure_file(${_pkg_dir}/${FLOWSENTRY_APP_ID}.metainfo.xml.in
                   ${_pkg_out}/${FLOWSENTRY_APP_ID}.metainfo.xml @ONLY)
    install(FILES ${_pkg_dir}/${FLOWSENTRY_APP_ID}.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
    install(FILES ${_pkg_out}/${FLOWSENTRY_APP_ID}.metainfo.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
    install(FILES ${PROJECT_SOURCE_DIR}/about/resources/flowsentry.svg
            DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
    list(APPEND FLOWSENTRY_INSTALLED_FILES
        ${CMAKE_INSTALL_DATADIR}/applications/${FLOWSENTRY_APP_ID}.desktop
        ${CMAKE_INSTALL_DATADIR}/metainfo/${FLOWSENTRY_APP_ID}.metainfo.xml
        ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps/flowsentry.svg)
endif()

# Capture needs CAP_NET_RAW and CAP_NET_ADMIN. Set them on the installed files (copying or rebuilding a
# binary drops them) when that can work: as root into the real prefix. A staged install (DESTDIR, as
# cpack does) leaves it to the package's postinst.
if(_programs)
    list(TRANSFORM _programs PREPEND "${CMAKE_INSTALL_BINDIR}/" OUTPUT_VARIABLE _program_paths)
    install(CODE "set(_flowsentry_programs \"${_program_paths}\")")
    install(CODE [[
        set(_files "")
        foreach(_program IN LISTS _flowsentry_programs)
            list(APPEND _files "${CMAKE_INSTALL_PREFIX}/${_program}")
        endforeach()
        string(REPLACE ";" " " _file_words "${_files}")
        execute_process(COMMAND id -u OUTPUT_VARIABLE _uid OUTPUT_STRIP_TRAILING_WHITESPACE)
        find_program(_setcap setcap PATHS /usr/sbin /sbin NO_CACHE)
        if(NOT "$ENV{DESTDIR}" STREQUAL "")
            message(STATUS "Not setting capture capabilities: staged install into DESTDIR (a package sets them when installed)")
        elseif(NOT _uid STREQUAL "0")
            message(STATUS "Not setting capture capabilities: not running as root. To capture without sudo, run:\n"
                           "  sudo setcap cap_net_raw,cap_net_admin=eip ${_file_words}")
        elseif(NOT _setcap)
            message(STATUS "Not setting capture capabilities: setcap not found (Debian package libcap2-bin)")
        else()
            # setcap takes one capability text per file.
            foreach(_file IN LISTS _files)
                execute_process(COMMAND ${_setcap} cap_net_raw,cap_net_admin=eip ${_file}
                                RESULT_VARIABLE _result ERROR_VARIABLE _error OUTPUT_QUIET)
                if(_result EQUAL 0)
                    message(STATUS "Capture capabilities set: cap_net_raw,cap_net_admin=eip on ${_file}")
                else()
                    string(REGEX REPLACE "\n.*" "" _error "${_error}")
                    message(STATUS "Could not set capture capabilities on ${_file} (${_error}); the file system "
                                   "may not support file capabilities. Run the program as root to capture.")
                endif()
            endforeach()
        endif()
    ]])
endif()

# The Debian package.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME flowsentry)
set(CPACK_PACKAGE_VENDOR "Flowsentry Software")
set(CPACK_PACKAGE_CONTACT "Flowsentry Software <packages@flowsentry.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "live IPv4 traffic per address pair and protocol")
set(CPACK_PACKAGE_DESCRIPTION "Flowsentry shows, live, the IPv4 traffic that passes one of the machine's own
addresses, one row per source, destination and IP protocol, with bytes and
packets each way, their totals and the time of the last packet. The table can
be saved as text or copied. flowsentry-cli does the same job on servers and
reads capture files.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE ${FLOWSENTRY_HOME_PAGE})
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# setcap, for the postinst.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libcap2-bin")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${_pkg_dir}/debian/postinst)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/package)
include(CPack)

if(FLOWSENTRY_BUILD_TESTS)
    string(REPLACE ";" "\n" _expected "${FLOWSENTRY_INSTALLED_FILES}")
    file(WRITE ${_pkg_out}/installed-files.txt "${_expected}\n")
    add_test(NAME install_layout
             COMMAND ${_pkg_dir}/check-install.sh ${CMAKE_COMMAND} ${CMAKE_BINARY_DIR} ${_pkg_out}/installed-files.txt)
    set_tests_properties(install_layout PROPERTIES LABELS package RESOURCE_LOCK build_tree_install)
    add_test(NAME debian_package
             COMMAND ${_pkg_dir}/check-package.sh ${CMAKE_CPACK_COMMAND} ${CMAKE_BINARY_DIR})
    set_tests_properties(debian_package PROPERTIES LABELS package RESOURCE_LOCK build_tree_install)
endif()
