# What `cmake --install` puts where, and the Debian package that CPack makes
# of it (`cpack -G DEB` in the build directory).
#
# Both programs go into the bin directory.  kovrin is a tool that ordinary
# users run: the capability (or the set-user-ID bit) on the file is what lets
# them, as with ping, and the sbin directories are for the administrator's
# commands and are not in an ordinary user's PATH on Debian.
include(GNUInstallDirs)

option(KOVRIN_INSTALL_CAPABILITY
       "Give the installed kovrin cap_net_raw+ep (set-user-ID root where that fails); skipped under DESTDIR"
       ON)

set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

set(kovrin_pkg_dir ${PROJECT_SOURCE_DIR}/packaging)
set(kovrin_gen_dir ${PROJECT_BINARY_DIR}/install)

if(TARGET kovrin)
  install(TARGETS kovrin RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()
install(TARGETS kovrin-detect RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(PROGRAMS ${PROJECT_SOURCE_DIR}/plot/kovrin-plot DESTINATION ${CMAKE_INSTALL_BINDIR})

# Manual pages and the changelog, compressed as Debian wants them (gzip -9,
# no name or time stamp in the header, so the files are reproducible).
find_program(KOVRIN_GZIP gzip REQUIRED)
set(kovrin_gz_files "")
function(kovrin_gzip source output)
  add_custom_command(OUTPUT ${output}
    COMMAND ${KOVRIN_GZIP} -9nc ${source} > ${output}
    DEPENDS ${source}
    COMMENT "Compressing ${source}")
  set(kovrin_gz_files ${kovrin_gz_files} ${output} PARENT_SCOPE)
endfunction()
kovrin_gzip(${PROJECT_SOURCE_DIR}/man/kovrin.8 ${kovrin_gen_dir}/kovrin.8.gz)
kovrin_gzip(${PROJECT_SOURCE_DIR}/man/kovrin-detect.1 ${kovrin_gen_dir}/kovrin-detect.1.gz)
kovrin_gzip(${PROJECT_SOURCE_DIR}/man/kovrin-plot.1 ${kovrin_gen_dir}/kovrin-plot.1.gz)
kovrin_gzip(${kovrin_pkg_dir}/changelog ${kovrin_gen_dir}/changelog.gz)
add_custom_target(kovrin_install_files ALL DEPENDS ${kovrin_gz_files})

if(TARGET kovrin)
  install(FILES ${kovrin_gen_dir}/kovrin.8.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)
endif()
install(FILES ${kovrin_gen_dir}/kovrin-detect.1.gz ${kovrin_gen_dir}/kovrin-plot.1.gz
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${kovrin_pkg_dir}/copyright ${kovrin_gen_dir}/changelog.gz DESTINATION ${CMAKE_INSTALL_DOCDIR})

# One completion file for both programs; bash-completion loads a command's
# completion by its name, so kovrin-detect is a link to it.
set(kovrin_completions ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)
file(MAKE_DIRECTORY ${kovrin_gen_dir})
file(CREATE_LINK kovrin ${kovrin_gen_dir}/kovrin-detect SYMBOLIC)
install(FILES ${kovrin_pkg_dir}/bash-completion/kovrin ${kovrin_gen_dir}/kovrin-detect
        DESTINATION ${kovrin_completions})

# The capability, at install time (after the binary is in place).
if(TARGET kovrin AND KOVRIN_INSTALL_CAPABILITY)
  if(IS_ABSOLUTE "${CMAKE_INSTALL_BINDIR}")
    install(CODE "set(KOVRIN_BINARY \"${CMAKE_INSTALL_BINDIR}/kovrin\")")
  else()
    install(CODE "set(KOVRIN_BINARY \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/kovrin\")")
  endif()
  install(SCRIPT ${PROJECT_SOURCE_DIR}/cmake/KovrinGrantCapability.cmake)
endif()

# The Debian package.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kovrin)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "kovrin developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "find the bandwidth choke points of an Internet path")
set(CPACK_PACKAGE_DESCRIPTION_FILE ${kovrin_pkg_dir}/description)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "kovrin developers <kovrin@example.org>")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# setcap, for the postinst; without it the postinst falls back to set-user-ID.
# kovrin-plot is Python and draws with matplotlib; without it, it says so.
set(CPACK_DEBIAN_PACKAGE_DEPENDS python3)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "libcap2-bin, python3-matplotlib")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${kovrin_pkg_dir}/deb/postinst ${kovrin_pkg_dir}/deb/prerm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
