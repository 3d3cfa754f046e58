# Debian packages, one per program: `cpack -G DEB` in a build folder makes
# quorlen_VERSION_ARCH.deb (the desktop program, its man page, desktop entry,
# icon and AppStream file) and quorlen-cli_VERSION_ARCH.deb (the command-line
# tool, its man page and completion). Library dependencies come from
# dpkg-shlibdeps.
set(CPACK_PACKAGE_NAME quorlen)
set(CPACK_PACKAGE_VENDOR "The Quorlen developers")
set(CPACK_PACKAGE_CONTACT "The Quorlen developers <quorlen@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "compact and repair Microsoft Access databases")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_GROUPING IGNORE)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SECTION database)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_CLI_PACKAGE_NAME quorlen-cli)
set(CPACK_DEBIAN_CLI_PACKAGE_SECTION database)
set(CPACK_COMPONENT_CLI_DESCRIPTION
    "command-line tool to compact, repair, check and read Access databases\n"
    "quorlen-cli works on Microsoft Access .mdb databases (Jet 3: Access 97;\n"
    "Jet 4: Access 2000-2003) natively: info, dump (JSON or CSV), check,\n"
    "compact and repair, in place (safely) or into a new file.")

set(CPACK_DEBIAN_GUI_PACKAGE_NAME quorlen)
set(CPACK_DEBIAN_GUI_PACKAGE_SECTION database)
# The windows are laid out for a font with Arial's metrics.
set(CPACK_DEBIAN_GUI_PACKAGE_DEPENDS "fonts-liberation | fonts-liberation2 | fonts-croscore")
set(CPACK_COMPONENT_GUI_DESCRIPTION
    "desktop program to compact or repair an Access database\n"
    "Quorlen compacts or repairs one Microsoft Access .mdb database (Jet 3,\n"
    "Jet 4) at a time, in place: name the file, choose Compact or Repair,\n"
    "press OK.")

if(QUORLEN_BUILD_GUI)
  set(CPACK_COMPONENTS_ALL cli gui)
else()
  set(CPACK_COMPONENTS_ALL cli)
endif()
include(CPack)
