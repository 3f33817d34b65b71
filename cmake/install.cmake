# Install rules and the Debian package.
#
# The scheduler finds backends by file name in its backend directory, and the
# program takes its brand from its own file name as /proc/self/exe resolves
# it. So every brand gets a name of its own in that directory: the first
# name is the installed file, the others are hard links to it. A symbolic
# link would not do: it resolves to the target's name, the wrong brand.

set(NETBACKEND_CUPS_BACKEND_DIR "/usr/lib/cups/backend" CACHE PATH
  "The scheduler's backend directory (absolute, or relative to the install prefix)")
option(NETBACKEND_BACKEND_AS_ROOT
  "Install the backend with mode 0700 so that the scheduler runs it as root (default 0755: it runs as lp)"
  OFF)

# First character of each name selects the brand: t Tamo, s SOLENA, z ZALOR,
# g every printer, anything else Orbec.
set(NETBACKEND_BRAND_NAMES tamo solena zalor orbec gprinter)

# The program reads untrusted datagrams and needs no privilege, so by default
# it is world-executable and the scheduler runs it as lp. 0700 is for an
# administrator who wants it run as root (the trace file then lands in
# root's home).
if(NETBACKEND_BACKEND_AS_ROOT)
  set(netbackend_mode OWNER_READ OWNER_WRITE OWNER_EXECUTE)
else()
  set(netbackend_mode OWNER_READ OWNER_WRITE OWNER_EXECUTE
                      GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
endif()

# The scheduler skips a backend whose directory is group- or world-writable,
# so directories are made 0755 whatever the umask of the installing shell.
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
  OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

list(GET NETBACKEND_BRAND_NAMES 0 netbackend_first_name)
set(netbackend_other_names ${NETBACKEND_BRAND_NAMES})
list(REMOVE_AT netbackend_other_names 0)

install(PROGRAMS $<TARGET_FILE:netbackend>
  DESTINATION "${NETBACKEND_CUPS_BACKEND_DIR}"
  RENAME ${netbackend_first_name}
  PERMISSIONS ${netbackend_mode}
  COMPONENT backend)

# The hard links are made at install time (not in the package's maintainer
# scripts), so a plain `cmake --install` and the package give the same tree.
# The first call hands the configure-time values to the install script; the
# second is expanded only when the install runs (DESTDIR, the prefix, strip).
list(JOIN netbackend_other_names " " netbackend_other_names_text)
install(CODE "
  set(netbackend_dir [[${NETBACKEND_CUPS_BACKEND_DIR}]])
  set(netbackend_first_name ${netbackend_first_name})
  set(netbackend_other_names ${netbackend_other_names_text})
  set(netbackend_strip [[${CMAKE_STRIP}]])
" COMPONENT backend)
install(CODE [[
  if(NOT IS_ABSOLUTE "${netbackend_dir}")
    set(netbackend_dir "${CMAKE_INSTALL_PREFIX}/${netbackend_dir}")
  endif()
  set(netbackend_dir "$ENV{DESTDIR}${netbackend_dir}")
  # Stripped before the links are made: strip writes a new file, which
  # would leave the links on the unstripped one.
  if(CMAKE_INSTALL_DO_STRIP AND netbackend_strip)
    execute_process(COMMAND "${netbackend_strip}" --remove-section=.comment
      --remove-section=.note "${netbackend_dir}/${netbackend_first_name}"
      COMMAND_ERROR_IS_FATAL ANY)
  endif()
  foreach(name IN LISTS netbackend_other_names)
    message(STATUS "Installing: ${netbackend_dir}/${name} (hard link to ${netbackend_first_name})")
    file(REMOVE "${netbackend_dir}/${name}")
    file(CREATE_LINK "${netbackend_dir}/${netbackend_first_name}" "${netbackend_dir}/${name}")
    list(APPEND CMAKE_INSTALL_MANIFEST_FILES "${netbackend_dir}/${name}")
  endforeach()
]] COMPONENT backend)

# Debian policy wants man pages compressed with gzip -9n (no name or time
# stamp, so that the package is reproducible).
find_program(NETBACKEND_GZIP gzip REQUIRED)
set(netbackend_man_src "${PROJECT_SOURCE_DIR}/doc/netbackend.8")
set(netbackend_man_gz "${PROJECT_BINARY_DIR}/doc/netbackend.8.gz")
add_custom_command(OUTPUT "${netbackend_man_gz}"
  COMMAND ${CMAKE_COMMAND} -E make_directory "${PROJECT_BINARY_DIR}/doc"
  COMMAND ${NETBACKEND_GZIP} -9n -c "${netbackend_man_src}" > "${netbackend_man_gz}"
  DEPENDS "${netbackend_man_src}"
  COMMENT "Compressing the man page"
  VERBATIM)
add_custom_target(netbackend_man ALL DEPENDS "${netbackend_man_gz}")
install(FILES "${netbackend_man_gz}"
  DESTINATION share/man/man8
  PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ
  COMPONENT backend)

# Package: `cpack -G DEB` in the build directory.
set(CPACK_PACKAGE_NAME netbackend)
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_CONTACT "netbackend maintainers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "CUPS backend for host-config network printers")
set(CPACK_PACKAGE_DESCRIPTION
  "A CUPS backend that finds the printers on the local network that answer\n the host-config query, lists them for the scheduler by MAC address, and\n hands each job to the printing system's socket backend at the printer's\n current IP address. Installed as tamo, solena, zalor, orbec (one brand\n each) and gprinter (every printer).")
# The backend directory is absolute, so the package is staged through
# DESTDIR; otherwise it would be installed into the building machine.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "netbackend maintainers")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# libc and libstdc++ come from dpkg-shlibdeps; the socket backend that every
# job is handed to ships in Debian's cups package.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS cups)
if(NETBACKEND_M32)
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE i386)
endif()
set(CPACK_GENERATOR DEB)
include(CPack)
