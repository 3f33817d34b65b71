# Install rules; the `deb` target turns them into the Debian packages
# (pkg/build-deb.sh).
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
# gprinter lists every printer, those of the four brands included, so with
# it installed the "Add Printer" page shows each of those printers twice:
# once under its brand's name and once under gprinter.
option(NETBACKEND_INSTALL_GPRINTER
  "Also install the name gprinter, which lists every printer whatever its brand"
  OFF)

# The brands' names, as the program's brand table has them (src/brands.h;
# tests/kvt_test.cpp holds this list and the packages' to it). The first
# character of each selects the brand.
set(NETBACKEND_BRAND_NAMES tamo solena zalor orbec)

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

# The administrator's probe: a command, needing no privilege, stripped of
# the same sections as the backend.
install(TARGETS netbackend-probe
  RUNTIME DESTINATION sbin
  PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE
  COMPONENT backend)
install(CODE "set(netbackend_probe_strip [[${CMAKE_STRIP}]])" COMPONENT backend)
install(CODE [[
  if(CMAKE_INSTALL_DO_STRIP AND netbackend_probe_strip)
    execute_process(COMMAND "${netbackend_probe_strip}" --remove-section=.comment
      --remove-section=.note "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/sbin/netbackend-probe"
      COMMAND_ERROR_IS_FATAL ANY)
  endif()
]] COMPONENT backend)

install(PROGRAMS $<TARGET_FILE:netbackend>
  DESTINATION "${NETBACKEND_CUPS_BACKEND_DIR}"
  RENAME ${netbackend_first_name}
  PERMISSIONS ${netbackend_mode}
  COMPONENT backend)

# netbackend_install_links(COMPONENT STRIP NAME...): at install time, strips
# the installed first name if STRIP and the install was asked to strip, then
# makes each NAME a hard link to it. The links are made at install time (not
# in the package's maintainer scripts), so a plain `cmake --install` and the
# package give the same tree. The first install(CODE) hands the configure-time
# values to the install script; the second is expanded only when the install
# runs (DESTDIR, the prefix, strip).
function(netbackend_install_links component strip)
  list(JOIN ARGN " " names)
  install(CODE "
    set(netbackend_dir [[${NETBACKEND_CUPS_BACKEND_DIR}]])
    set(netbackend_first_name ${netbackend_first_name})
    set(netbackend_link_names ${names})
    set(netbackend_strip [[$<${strip}:${CMAKE_STRIP}>]])
  " COMPONENT ${component})
  install(CODE [[
    if(NOT IS_ABSOLUTE "${netbackend_dir}")
      set(netbackend_dir "${CMAKE_INSTALL_PREFIX}/${netbackend_dir}")
    endif()
    set(netbackend_dir "$ENV{DESTDIR}${netbackend_dir}")
    # Stripped before the links are made: strip writes a new file, which
    # would leave the links on the unstripped one. The sections removed are
    # those Debian's packaging tools remove from programs.
    if(CMAKE_INSTALL_DO_STRIP AND netbackend_strip)
      execute_process(COMMAND "${netbackend_strip}" --remove-section=.comment
        --remove-section=.note "${netbackend_dir}/${netbackend_first_name}"
        COMMAND_ERROR_IS_FATAL ANY)
    endif()
    foreach(name IN LISTS netbackend_link_names)
      message(STATUS "Installing: ${netbackend_dir}/${name} (hard link to ${netbackend_first_name})")
      file(REMOVE "${netbackend_dir}/${name}")
      file(CREATE_LINK "${netbackend_dir}/${netbackend_first_name}" "${netbackend_dir}/${name}")
      list(APPEND CMAKE_INSTALL_MANIFEST_FILES "${netbackend_dir}/${name}")
    endforeach()
  ]] COMPONENT ${component})
endfunction()

netbackend_install_links(backend 1 ${netbackend_other_names})
if(NETBACKEND_INSTALL_GPRINTER)
  netbackend_install_links(gprinter 0 gprinter)
endif()

# Debian policy wants man pages and changelogs compressed with gzip -9n (no
# name or time stamp, so that the package is reproducible). The man pages
# name the version: their sources say @PROJECT_VERSION@, filled in here from
# project(), so that the version is written in one place. The changelog's
# latest entry is checked against it when the packages are built
# (pkg/build-deb.sh).
find_program(NETBACKEND_GZIP gzip REQUIRED)
set(netbackend_docs doc/netbackend.8 doc/netbackend-probe.8 pkg/changelog)
if(TARGET netbackend-printer-app)
  list(APPEND netbackend_docs doc/netbackend-printer-app.8)
endif()
set(netbackend_gz_outputs)
foreach(doc IN LISTS netbackend_docs)
  get_filename_component(name "${doc}" NAME)
  set(gz "${PROJECT_BINARY_DIR}/doc/${name}.gz")
  set(plain "${PROJECT_SOURCE_DIR}/${doc}")
  if(doc MATCHES "[.]8$")
    set(plain "${PROJECT_BINARY_DIR}/doc/${name}")
    configure_file("${PROJECT_SOURCE_DIR}/${doc}" "${plain}" @ONLY)
  endif()
  add_custom_command(OUTPUT "${gz}"
    COMMAND ${NETBACKEND_GZIP} -9n -c "${plain}" > "${gz}"
    DEPENDS "${plain}"
    COMMENT "Compressing ${doc}"
    VERBATIM)
  list(APPEND netbackend_gz_outputs "${gz}")
endforeach()
add_custom_target(netbackend_docs ALL DEPENDS ${netbackend_gz_outputs})
set(netbackend_doc_mode OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
install(FILES "${PROJECT_BINARY_DIR}/doc/netbackend.8.gz"
  "${PROJECT_BINARY_DIR}/doc/netbackend-probe.8.gz"
  DESTINATION share/man/man8
  PERMISSIONS ${netbackend_doc_mode}
  COMPONENT backend)
install(FILES "${PROJECT_SOURCE_DIR}/pkg/copyright" "${PROJECT_BINARY_DIR}/doc/changelog.gz"
  DESTINATION share/doc/netbackend
  PERMISSIONS ${netbackend_doc_mode}
  COMPONENT backend)

# The printer application, where PAPPL is installed (src/app): the program
# in sbin beside the probe (an administrator's command: it runs the
# service, and its subcommands manage the service's printers), its man
# page, and the systemd unit that runs it as a system user of its own.
# The unit, its defaults file and the maintainer scripts come from pkg/.
# Only the package installs it (`--component app`): the service needs the
# system user that the package's postinst creates, so a plain
# `cmake --install` leaves it out.
if(TARGET netbackend-printer-app)
  install(TARGETS netbackend-printer-app
    RUNTIME DESTINATION sbin
    PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE
    COMPONENT app EXCLUDE_FROM_ALL)
  install(CODE "set(netbackend_app_strip [[${CMAKE_STRIP}]])" COMPONENT app EXCLUDE_FROM_ALL)
  install(CODE [[
    if(CMAKE_INSTALL_DO_STRIP AND netbackend_app_strip)
      execute_process(COMMAND "${netbackend_app_strip}" --remove-section=.comment
        --remove-section=.note "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/sbin/netbackend-printer-app"
        COMMAND_ERROR_IS_FATAL ANY)
    endif()
  ]] COMPONENT app EXCLUDE_FROM_ALL)
  install(FILES "${PROJECT_BINARY_DIR}/doc/netbackend-printer-app.8.gz"
    DESTINATION share/man/man8
    PERMISSIONS ${netbackend_doc_mode}
    COMPONENT app EXCLUDE_FROM_ALL)
  install(FILES "${PROJECT_SOURCE_DIR}/pkg/copyright" "${PROJECT_BINARY_DIR}/doc/changelog.gz"
    DESTINATION share/doc/netbackend-printer-app
    PERMISSIONS ${netbackend_doc_mode}
    COMPONENT app EXCLUDE_FROM_ALL)
  # systemd's unit directory is /lib/systemd/system on Debian 12, whatever
  # the prefix.
  install(FILES "${PROJECT_SOURCE_DIR}/pkg/netbackend-printer-app.service"
    DESTINATION /lib/systemd/system
    PERMISSIONS ${netbackend_doc_mode}
    COMPONENT app EXCLUDE_FROM_ALL)
  install(FILES "${PROJECT_SOURCE_DIR}/pkg/netbackend-printer-app.default"
    DESTINATION /etc/default
    RENAME netbackend-printer-app
    PERMISSIONS ${netbackend_doc_mode}
    COMPONENT app EXCLUDE_FROM_ALL)
  # The administrators' logins (-o auth-service=netbackend-printer-app).
  install(FILES "${PROJECT_SOURCE_DIR}/pkg/netbackend-printer-app.pam"
    DESTINATION /etc/pam.d
    RENAME netbackend-printer-app
    PERMISSIONS ${netbackend_doc_mode}
    COMPONENT app EXCLUDE_FROM_ALL)
endif()

# The Debian packages: `cmake --build --preset default --target deb` writes
# netbackend_<version>_<arch>.deb and netbackend-gprinter_<version>_<arch>.deb
# into the build directory, and netbackend-printer-app_<version>_<arch>.deb
# where the application is built. Not offered for the sanitizer and 32-bit
# builds, whose programs are not for installing.
if(NOT NETBACKEND_SANITIZE AND NOT NETBACKEND_M32)
  set(netbackend_deb_depends netbackend netbackend-probe netbackend_docs)
  if(TARGET netbackend-printer-app)
    list(APPEND netbackend_deb_depends netbackend-printer-app)
  endif()
  add_custom_target(deb
    COMMAND "${PROJECT_SOURCE_DIR}/pkg/build-deb.sh" "${PROJECT_BINARY_DIR}"
      "${PROJECT_VERSION}" "${NETBACKEND_CUPS_BACKEND_DIR}"
    DEPENDS ${netbackend_deb_depends}
    COMMENT "Building the Debian packages"
    VERBATIM USES_TERMINAL)
endif()
