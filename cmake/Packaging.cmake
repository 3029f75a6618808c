# Installation and the Debian package.
#
#   cmake --install build --prefix P     P/lib/tolvane/tolvane, P/lib/tolvane/Empty.dll,
#                                        P/bin/tolvane -> ../lib/tolvane/tolvane,
#                                        P/share/man/man1/tolvane.1.gz,
#                                        P/share/doc/tolvane/{copyright,README.md}
#   make package                         build/tolvane_0.1_<arch>.deb, the same tree under /usr
#
# `-s` takes the template Empty.dll from the directory of the program's own executable
# (resolved through /proc/self/exe), so the program and the template share one
# directory, and bin/ holds only a relative symlink to the program: a symlink on PATH,
# or a copied tree, still finds the template.

include(GNUInstallDirs)

set(TOLVANE_INSTALL_PKGDIR "lib/tolvane" CACHE STRING
    "Directory, relative to the prefix, that holds the program and Empty.dll")
mark_as_advanced(TOLVANE_INSTALL_PKGDIR)

# ---- the program and its template, side by side ----

install(TARGETS tolvane RUNTIME DESTINATION ${TOLVANE_INSTALL_PKGDIR})
install(FILES ${CMAKE_BINARY_DIR}/Empty.dll DESTINATION ${TOLVANE_INSTALL_PKGDIR}
        PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)

# bin/tolvane: a relative symlink, made in the build tree and installed as it is
# (install() copies a symlink as a symlink), so DESTDIR and CPack staging keep it relative.
file(RELATIVE_PATH _tolvane_link_target
     /prefix/${CMAKE_INSTALL_BINDIR} /prefix/${TOLVANE_INSTALL_PKGDIR}/tolvane)
set(_tolvane_link_dir ${CMAKE_BINARY_DIR}/install-links)
file(MAKE_DIRECTORY ${_tolvane_link_dir})
file(CREATE_LINK ${_tolvane_link_target} ${_tolvane_link_dir}/tolvane SYMBOLIC)
install(FILES ${_tolvane_link_dir}/tolvane DESTINATION ${CMAKE_INSTALL_BINDIR})

# ---- the manual page, compressed as Debian wants it ----

set(_tolvane_man_source ${CMAKE_SOURCE_DIR}/docs/tolvane.1)
find_program(TOLVANE_GZIP gzip)
mark_as_advanced(TOLVANE_GZIP)
if(TOLVANE_GZIP)
  set(_tolvane_man_page ${CMAKE_BINARY_DIR}/tolvane.1.gz)
  # -n: no name or time stamp in the header, so the page is the same on every build.
  add_custom_command(OUTPUT ${_tolvane_man_page}
    COMMAND ${TOLVANE_GZIP} -9 -n -c ${_tolvane_man_source} > ${_tolvane_man_page}
    DEPENDS ${_tolvane_man_source}
    COMMENT "Compressing the manual page"
    VERBATIM)
else()
  set(_tolvane_man_page ${CMAKE_BINARY_DIR}/tolvane.1)
  add_custom_command(OUTPUT ${_tolvane_man_page}
    COMMAND ${CMAKE_COMMAND} -E copy ${_tolvane_man_source} ${_tolvane_man_page}
    DEPENDS ${_tolvane_man_source}
    VERBATIM)
endif()
add_custom_target(man_page ALL DEPENDS ${_tolvane_man_page})
# The install tests install from the build tree, so everything installed must be built first.
if(TARGET tolvane_tests)
  add_dependencies(tolvane_tests man_page)
endif()
install(FILES ${_tolvane_man_page} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

# ---- documents ----

install(FILES ${CMAKE_SOURCE_DIR}/LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR} RENAME copyright)
install(FILES ${CMAKE_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
# A native package carries its changelog as changelog.gz; packaging/changelog is the
# one we keep, a new entry for each release.
if(TOLVANE_GZIP)
  set(_tolvane_changelog ${CMAKE_BINARY_DIR}/changelog.gz)
  add_custom_command(OUTPUT ${_tolvane_changelog}
    COMMAND ${TOLVANE_GZIP} -9 -n -c ${CMAKE_SOURCE_DIR}/packaging/changelog > ${_tolvane_changelog}
    DEPENDS ${CMAKE_SOURCE_DIR}/packaging/changelog
    VERBATIM)
  add_custom_target(changelog ALL DEPENDS ${_tolvane_changelog})
  if(TARGET tolvane_tests)
    add_dependencies(tolvane_tests changelog)
  endif()
  install(FILES ${_tolvane_changelog} DESTINATION ${CMAKE_INSTALL_DOCDIR})
endif()

# ---- the Debian package ----

set(CPACK_GENERATOR "DEB")
set(CPACK_PACKAGE_NAME "tolvane")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_VENDOR "The Tolvane developers")
# The project's own address, on a reserved domain: the package names no person.
set(TOLVANE_MAINTAINER "The Tolvane developers <developers@tolvane.example>")
set(CPACK_PACKAGE_CONTACT "${TOLVANE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "move Windows resources between PE32 images and .RES files")
set(CPACK_PACKAGE_DESCRIPTION
    "Tolvane copies the resources of a 32-bit Windows image (PE32 EXE or DLL) to a
compiled resource file (.RES), and merges a .RES file - as written by windres
or llvm-rc - into an image: version information, icons, manifests, string
tables and any other typed resource. It rebuilds the resource section, moves
the sections and directories behind it, and fixes the header totals and the
checksum, keeping appended data and the COFF symbol table.

It is meant for cross-builds of Windows programs on Linux and in CI (MinGW,
clang, Zig, Go, Rust): one step stamps the resources into the binary just
linked.")
set(CPACK_RESOURCE_FILE_LICENSE ${CMAKE_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

set(CPACK_DEBIAN_PACKAGE_NAME "tolvane")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)   # tolvane_0.1_amd64.deb
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${TOLVANE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION "devel")
set(CPACK_DEBIAN_PACKAGE_PRIORITY "optional")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "binutils-mingw-w64-i686 | llvm")
# The shared libraries the program needs, as dpkg-shlibdeps finds them; fixed ones
# where it is not installed.
find_program(TOLVANE_DPKG_SHLIBDEPS dpkg-shlibdeps)
mark_as_advanced(TOLVANE_DPKG_SHLIBDEPS)
if(TOLVANE_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6 (>= 2.34), libgcc-s1 (>= 3.0), libstdc++6 (>= 12)")
endif()

include(CPack)
