# Installing wisplog and its Debian package.
#
# The program lives in a directory of its own, WISPLOG_INSTALL_DIR (/opt/wisplog;
# a relative value is taken under the install prefix), with NKF32.DLL beside it,
# because it loads that library from its own directory. Its host list holds
# passwords, so an installed program reads each user's own
# ~/.config/wisplog/wisplog.ini, made from the wisplog.ini.example installed
# beside it; a wisplog.ini beside the program, when an administrator puts one
# there, is read instead. The install never makes one, and removes one that is
# an unchanged copy of the example (earlier versions made it). On the PATH there
# is a relative link
# <prefix>/bin/wisplog -> the program (the program finds its directory through
# the link), and the desktop entry, the icon and the manual page go to
# <prefix>/share.
#
#   sudo cmake --install build/release            # /opt/wisplog, /usr/local/bin
#   cpack --config build/release/CPackConfig.cmake  # wisplog_<version>_<arch>.deb
include(GNUInstallDirs)

set(WISPLOG_INSTALL_DIR "/opt/wisplog" CACHE STRING
    "Directory of the installed program and its wisplog.ini (relative: under the prefix)")

install(TARGETS wisplog RUNTIME DESTINATION ${WISPLOG_INSTALL_DIR})
install(TARGETS nkf32 LIBRARY DESTINATION ${WISPLOG_INSTALL_DIR})
install(FILES packaging/wisplog.ini.example DESTINATION ${WISPLOG_INSTALL_DIR})
install(FILES packaging/wisplog.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES packaging/wisplog.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
# The manual page, made from packaging/wisplog.1.txt with the usage text.
install(FILES ${PROJECT_BINARY_DIR}/wisplog.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
foreach(size 48 256)
  install(FILES packaging/wisplog-${size}.png RENAME wisplog.png
          DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps)
endforeach()

# At install time: the link on the PATH; a host list beside the program that is
# an unchanged copy of the example is removed, so each user's own is read.
set(post_install [[
  set(program_dir "@WISPLOG_INSTALL_DIR@")
  if(NOT IS_ABSOLUTE "${program_dir}")
    set(program_dir "${CMAKE_INSTALL_PREFIX}/${program_dir}")
  endif()
  set(bin_dir "${CMAKE_INSTALL_PREFIX}/@CMAKE_INSTALL_BINDIR@")
  file(RELATIVE_PATH target "${bin_dir}" "${program_dir}/wisplog")
  file(MAKE_DIRECTORY "$ENV{DESTDIR}${bin_dir}")
  message(STATUS "Installing: $ENV{DESTDIR}${bin_dir}/wisplog -> ${target}")
  file(CREATE_LINK "${target}" "$ENV{DESTDIR}${bin_dir}/wisplog" SYMBOLIC)
  list(APPEND CMAKE_INSTALL_MANIFEST_FILES "$ENV{DESTDIR}${bin_dir}/wisplog")
  set(ini "$ENV{DESTDIR}${program_dir}/wisplog.ini")
  set(example "$ENV{DESTDIR}${program_dir}/wisplog.ini.example")
  if(EXISTS "${ini}")
    file(SHA256 "${ini}" ini_hash)
    file(SHA256 "${example}" example_hash)
    if(ini_hash STREQUAL example_hash)
      message(STATUS "Removing: ${ini} (the unchanged example; each user now gets a private one)")
      file(REMOVE "${ini}")
    else()
      message(STATUS "Up-to-date: ${ini} (a host list for every user, left as it is)")
    endif()
  endif()
]])
string(CONFIGURE "${post_install}" post_install @ONLY)
install(CODE "${post_install}")

# The Debian package: cpack --config <build>/CPackConfig.cmake
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME wisplog)
set(CPACK_PACKAGE_CONTACT "wisplog developers <wisplog@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "shows the end of log files fetched from FTP servers")
set(CPACK_PACKAGE_DESCRIPTION
    "wisplog fetches a log file from an FTP server and shows its last 10,000 bytes in a\n"
    "black, console-like view scrolled to its end. Japanese text in JIS, EUC-JP, UTF-8,\n"
    "UTF-16 or Shift_JIS is converted for display, by the menu's choice or detected.\n"
    "Each user's host profiles are kept in ~/.config/wisplog/wisplog.ini.")
string(JOIN "" CPACK_PACKAGE_DESCRIPTION ${CPACK_PACKAGE_DESCRIPTION})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# libsecret is how the keyring library reaches the Secret Service (it loads it
# at run time, so the shared-library scan cannot see it).
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "fonts-ipafont-gothic | fonts-japanese-gothic, xdg-utils, libsecret-1-0")
# With DESTDIR staging (needed for the absolute program directory) the
# package prefix is CPACK_INSTALL_PREFIX.
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_SET_DESTDIR ON)
set(CPACK_STRIP_FILES ON)
foreach(script postinst postrm)
  configure_file(packaging/debian/${script}.in ${PROJECT_BINARY_DIR}/debian/${script} @ONLY)
  file(CHMOD ${PROJECT_BINARY_DIR}/debian/${script}
       PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                   WORLD_READ WORLD_EXECUTE)
  list(APPEND CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${PROJECT_BINARY_DIR}/debian/${script})
endforeach()
include(CPack)
