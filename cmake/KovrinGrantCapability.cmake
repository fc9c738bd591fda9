# Install step: gives the installed kovrin (KOVRIN_BINARY) cap_net_raw+ep,
# the one capability it needs to open its raw sockets.  Where file
# capabilities are not to be had (no setcap, or setcap fails, e.g. on a file
# system without extended attributes) it makes kovrin set-user-ID root
# instead.  kovrin raises either only to open its sockets and gives it up for
# good right after (see kovrin(8), PRIVILEGE).
#
# A staged install (DESTDIR set, as for a package) is left alone: the
# privilege belongs on the target system, which the package's postinst sets.
#
# Also runs on its own, for tests:
#   cmake -DKOVRIN_BINARY=FILE [-DKOVRIN_SETCAP=PROGRAM] -P KovrinGrantCapability.cmake

if(NOT KOVRIN_BINARY)
  message(FATAL_ERROR "KovrinGrantCapability: KOVRIN_BINARY is not set")
endif()

if(NOT "$ENV{DESTDIR}" STREQUAL "")
  message(STATUS "kovrin: staged install (DESTDIR=$ENV{DESTDIR}): no capability given to "
                 "$ENV{DESTDIR}${KOVRIN_BINARY}; on the target system run "
                 "'setcap cap_net_raw+ep ${KOVRIN_BINARY}' (the Debian package's postinst does)")
  return()
endif()

if(NOT DEFINED KOVRIN_SETCAP)
  find_program(KOVRIN_SETCAP setcap PATHS /usr/sbin /sbin NO_CACHE)
endif()

set(kovrin_setcap_error "setcap not found")
if(KOVRIN_SETCAP)
  execute_process(COMMAND ${KOVRIN_SETCAP} cap_net_raw+ep ${KOVRIN_BINARY}
                  RESULT_VARIABLE kovrin_result ERROR_VARIABLE kovrin_error OUTPUT_QUIET)
  if(kovrin_result EQUAL 0)
    # A set-user-ID bit from an earlier fallback would be one privilege too many.
    file(CHMOD ${KOVRIN_BINARY} FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE
         GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
    message(STATUS "kovrin: gave ${KOVRIN_BINARY} cap_net_raw+ep")
    return()
  endif()
  string(STRIP "${kovrin_error}" kovrin_error)
  set(kovrin_setcap_error "${KOVRIN_SETCAP} failed (${kovrin_result})")
  if(kovrin_error)
    string(APPEND kovrin_setcap_error ": ${kovrin_error}")
  endif()
endif()

# The fallback: owned by root, set-user-ID.  chown before the mode, since a
# change of owner clears the set-user-ID bit.
execute_process(COMMAND chown 0:0 ${KOVRIN_BINARY} RESULT_VARIABLE kovrin_result ERROR_VARIABLE kovrin_error)
if(kovrin_result EQUAL 0)
  file(CHMOD ${KOVRIN_BINARY} FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE
       GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE SETUID)
  message(STATUS "kovrin: ${kovrin_setcap_error}; made ${KOVRIN_BINARY} set-user-ID root instead")
  return()
endif()
string(STRIP "${kovrin_error}" kovrin_error)
message(WARNING "kovrin: ${kovrin_setcap_error}, and it cannot be made set-user-ID root "
                "(chown: ${kovrin_error}); it will run only for root.  As root, run "
                "'setcap cap_net_raw+ep ${KOVRIN_BINARY}' or configure with -DKOVRIN_INSTALL_CAPABILITY=OFF.")
