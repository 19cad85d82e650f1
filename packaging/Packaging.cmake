# SPDX-License-Identifier: GPL-3.0-or-later
# Installation as a Linux desktop program: binaries, the capture helper and its privilege, desktop entry, icon,
# AppStream metadata, man pages, and the Debian package (cpack -G DEB).
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

# Capture runs in the small helper flowsentry-capture, the only installed program with a privilege:
# cap_net_raw=ep, owner root, group flowsentry, mode 0750, so that members of the group (and root) capture.
# The window and flowsentry-cli find it beside them (<bin>/../libexec/flowsentry) and hold no capability:
# a Qt program loads code named by its environment (QT_PLUGIN_PATH), which would then run with it.
set(_helper_dir ${CMAKE_INSTALL_LIBEXECDIR}/flowsentry)
if(TARGET flowsentry-capture)
    install(TARGETS flowsentry-capture RUNTIME DESTINATION ${_helper_dir})
    list(APPEND FLOWSENTRY_INSTALLED_FILES ${_helper_dir}/flowsentry-capture)

    # The owner, group, mode and capability are set on the installed file (copying or rebuilding drops the
    # capability) when that can work: as root into the real prefix. A staged install (DESTDIR, as cpack
    # does) leaves it to the package's postinst.
    list(TRANSFORM _programs PREPEND "${CMAKE_INSTALL_BINDIR}/" OUTPUT_VARIABLE _program_paths)
    install(CODE "set(_flowsentry_programs \"${_program_paths}\")")
    install(CODE "set(_flowsentry_helper \"${_helper_dir}/flowsentry-capture\")")
    install(CODE [[
        if(IS_ABSOLUTE "${_flowsentry_helper}")
            set(_helper "${_flowsentry_helper}")
        else()
            set(_helper "${CMAKE_INSTALL_PREFIX}/${_flowsentry_helper}")
        endif()
        execute_process(COMMAND id -u OUTPUT_VARIABLE _uid OUTPUT_STRIP_TRAILING_WHITESPACE)
        find_program(_setcap setcap PATHS /usr/sbin /sbin NO_CACHE)
        find_program(_getcap getcap PATHS /usr/sbin /sbin NO_CACHE)
        find_program(_groupadd groupadd PATHS /usr/sbin /sbin NO_CACHE)
        execute_process(COMMAND getent group flowsentry RESULT_VARIABLE _no_group OUTPUT_QUIET ERROR_QUIET)
        if(_no_group)
            set(_make_group "  sudo groupadd --system flowsentry\n")
        else()
            set(_make_group "")
        endif()
        string(CONCAT _commands "${_make_group}  sudo chown root:flowsentry ${_helper}\n"
                                "  sudo chmod 0750 ${_helper}\n  sudo setcap cap_net_raw=ep ${_helper}")
        set(_join "Then members of the group flowsentry capture (sudo usermod -aG flowsentry USER, then log in again).")
        if(NOT "$ENV{DESTDIR}" STREQUAL "")
            message(STATUS "Not setting up the capture helper: staged install into DESTDIR (a package's postinst "
                           "gives it group flowsentry, mode 0750 and cap_net_raw when installed)")
        elseif(NOT _uid STREQUAL "0")
            message(STATUS "Not setting up the capture helper: not running as root. To let the members of the "
                           "group flowsentry capture, run:\n${_commands}\n${_join}")
        elseif(NOT _setcap)
            message(STATUS "Not setting up the capture helper: setcap not found (Debian package libcap2-bin). "
                           "Install it, then run:\n${_commands}")
        else()
            # Capabilities an earlier version gave the window and the CLI stay on files that were up to date
            # and not copied again; remove them.
            foreach(_program IN LISTS _flowsentry_programs)
                set(_file "${CMAKE_INSTALL_PREFIX}/${_program}")
                if(_getcap AND EXISTS "${_file}")
                    execute_process(COMMAND ${_getcap} "${_file}" OUTPUT_VARIABLE _caps ERROR_QUIET)
                    if(NOT _caps STREQUAL "")
                        execute_process(COMMAND ${_setcap} -r "${_file}" RESULT_VARIABLE _result)
                        if(_result EQUAL 0)
                            message(STATUS "Removed the capabilities of ${_file}: only the capture helper has one")
                        else()
                            message(WARNING "Could not remove the capabilities of ${_file}; remove them with: "
                                            "sudo setcap -r ${_file}")
                        endif()
                    endif()
                endif()
            endforeach()
            set(_group_ok TRUE)
            if(_no_group)
                if(NOT _groupadd)
                    set(_group_ok FALSE)
                    message(STATUS "Not setting up the capture helper: groupadd not found (Debian package "
                                   "passwd); create the group flowsentry, then run:\n${_commands}")
                else()
                    execute_process(COMMAND ${_groupadd} --system flowsentry RESULT_VARIABLE _result
                                    ERROR_VARIABLE _error)
                    if(_result EQUAL 0)
                        message(STATUS "Created the system group flowsentry")
                    else()
                        set(_group_ok FALSE)
                        message(STATUS "Not setting up the capture helper: could not create the group "
                                       "flowsentry (${_error}); create it, then run:\n${_commands}")
                    endif()
                endif()
            endif()
            if(_group_ok)
                # In this order: chown clears file capabilities.
                execute_process(COMMAND chown root:flowsentry "${_helper}" COMMAND_ERROR_IS_FATAL ANY)
                execute_process(COMMAND chmod 0750 "${_helper}" COMMAND_ERROR_IS_FATAL ANY)
                execute_process(COMMAND ${_setcap} cap_net_raw=ep "${_helper}"
                                RESULT_VARIABLE _result ERROR_VARIABLE _error OUTPUT_QUIET)
                if(NOT _result EQUAL 0)
                    string(REGEX REPLACE "\n.*" "" _error "${_error}")
                    message(STATUS "Could not give ${_helper} the capability to capture (${_error}); the file "
                                   "system may not support file capabilities. Only root can capture.")
                else()
                    message(STATUS "Capture helper set up: ${_helper}, root:flowsentry, mode 0750, "
                                   "cap_net_raw=ep. ${_join}")
                    execute_process(COMMAND findmnt -n -o OPTIONS -T "${_helper}" OUTPUT_VARIABLE _options
                                    ERROR_QUIET)
                    if(_options MATCHES "(^|,)nosuid(,|$|\n)")
                        message(STATUS "Note: ${_helper} is on a file system mounted nosuid, where file "
                                       "capabilities are ignored. Only root can capture.")
                    endif()
                endif()
            endif()
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
# setcap and addgroup, for the postinst.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libcap2-bin, adduser")
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
    add_subdirectory(${PROJECT_SOURCE_DIR}/tests/privsep ${CMAKE_BINARY_DIR}/tests/privsep)
endif()
