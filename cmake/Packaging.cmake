# Packages made with CPack from the install rules' components:
#
#   Linux (DEB)            component     package
#   the shared library     Runtime       libnotavero<MAJOR>
#   headers, CMake, .pc    Development   libnotavero-dev (depends on the same version of the library)
#   notavero, notavero-sim Tools         notavero-tools
#   any other component    <name>        notavero-<name>, e.g. "serve" -> notavero-serve,
#                                        or the name notavero_package() gives (python3-notavero)
#
#   Windows (ZIP): one SDK archive per architecture with every component.
#
# An area that installs into a component of its own may describe its package
# with notavero_package(); without it the package gets a plain description
# and the dependencies dpkg-shlibdeps finds.  scripts/package makes them.

# notavero_package(COMPONENT [NAME package] [SECTION section] [DESCRIPTION text]
#                  [DEPENDS debian-depends] [CONTROL_EXTRA files...]):
# describes the package of COMPONENT.  NAME replaces notavero-<component>
# where Debian names such packages its own way (python3-notavero); SECTION
# replaces misc.  DESCRIPTION is the long description, under the project's
# one-line description.  CONTROL_EXTRA holds maintainer scripts (postinst, prerm, ...)
# and conffiles for the DEB package.
function(notavero_package component)
  cmake_parse_arguments(ARG "" "NAME;SECTION;DESCRIPTION;DEPENDS" "CONTROL_EXTRA" ${ARGN})
  string(TOUPPER "${component}" upper)
  set_property(GLOBAL PROPERTY NOTAVERO_PACKAGE_${upper}_NAME "${ARG_NAME}")
  set_property(GLOBAL PROPERTY NOTAVERO_PACKAGE_${upper}_SECTION "${ARG_SECTION}")
  set_property(GLOBAL PROPERTY NOTAVERO_PACKAGE_${upper}_DESCRIPTION "${ARG_DESCRIPTION}")
  set_property(GLOBAL PROPERTY NOTAVERO_PACKAGE_${upper}_DEPENDS "${ARG_DEPENDS}")
  set_property(GLOBAL PROPERTY NOTAVERO_PACKAGE_${upper}_CONTROL_EXTRA "${ARG_CONTROL_EXTRA}")
endfunction()

# Called once at the end of the top-level CMakeLists.txt, when every area has
# added its install rules.
macro(notavero_packages)
  set(CPACK_PACKAGE_NAME notavero)
  set(CPACK_PACKAGE_VENDOR "notavero")
  set(CPACK_PACKAGE_CONTACT "notavero maintainers <notavero@localhost>")
  set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
  set(CPACK_VERBATIM_VARIABLES ON)
  set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)
  set(CPACK_STRIP_FILES ON)

  if(WIN32)
    set(CPACK_GENERATOR ZIP)
    if(CMAKE_SIZEOF_VOID_P EQUAL 8)
      set(CPACK_SYSTEM_NAME windows-x64)
    else()
      set(CPACK_SYSTEM_NAME windows-x86)
    endif()
    set(CPACK_PACKAGE_FILE_NAME notavero-sdk-${PROJECT_VERSION}-${CPACK_SYSTEM_NAME})
  else()
    set(CPACK_GENERATOR DEB)
    set(CPACK_DEB_COMPONENT_INSTALL ON)
    set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
    set(CPACK_DEBIAN_PACKAGE_SECTION libs)

    set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME libnotavero${PROJECT_VERSION_MAJOR})
    set(CPACK_DEBIAN_RUNTIME_DESCRIPTION
        "The shared library libnotavero.so.${PROJECT_VERSION_MAJOR}, which a host loads to run the validator.")

    set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME libnotavero-dev)
    set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
    set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS
        "${CPACK_DEBIAN_RUNTIME_PACKAGE_NAME} (= ${PROJECT_VERSION})")
    set(CPACK_DEBIAN_DEVELOPMENT_DESCRIPTION
        "The C and C++ headers, the CMake package (find_package(notavero),\ntarget notavero::notavero) and notavero.pc for pkg-config.")

    set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME notavero-tools)
    set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION utils)
    set(CPACK_DEBIAN_TOOLS_DESCRIPTION
        "notavero, the technicians' tool (frames, state texts, running the driver),\nand notavero-sim, the validator simulator on a pseudo-terminal.\nA user opens a serial port when in the group dialout (adduser USER dialout).")

    # Every other component becomes a package notavero-<component>.
    get_cmake_property(notavero_components COMPONENTS)
    foreach(component IN LISTS notavero_components)
      string(TOUPPER "${component}" upper)
      if(upper MATCHES "^(RUNTIME|DEVELOPMENT|TOOLS)$")
        continue()
      endif()
      string(TOLOWER "${component}" lower)
      get_property(notavero_pkg_name GLOBAL PROPERTY NOTAVERO_PACKAGE_${upper}_NAME)
      get_property(notavero_pkg_section GLOBAL PROPERTY NOTAVERO_PACKAGE_${upper}_SECTION)
      if(NOT notavero_pkg_name)
        set(notavero_pkg_name notavero-${lower})
      endif()
      if(NOT notavero_pkg_section)
        set(notavero_pkg_section misc)
      endif()
      set(CPACK_DEBIAN_${upper}_PACKAGE_NAME ${notavero_pkg_name})
      set(CPACK_DEBIAN_${upper}_PACKAGE_SECTION ${notavero_pkg_section})
      get_property(description GLOBAL PROPERTY NOTAVERO_PACKAGE_${upper}_DESCRIPTION)
      if(NOT description)
        set(description "The ${lower} component of notavero.")
      endif()
      set(CPACK_DEBIAN_${upper}_DESCRIPTION "${description}")
      get_property(depends GLOBAL PROPERTY NOTAVERO_PACKAGE_${upper}_DEPENDS)
      if(depends)
        set(CPACK_DEBIAN_${upper}_PACKAGE_DEPENDS "${depends}")
      endif()
      get_property(control_extra GLOBAL PROPERTY NOTAVERO_PACKAGE_${upper}_CONTROL_EXTRA)
      if(control_extra)
        set(CPACK_DEBIAN_${upper}_PACKAGE_CONTROL_EXTRA "${control_extra}")
      endif()
    endforeach()
  endif()
  include(CPack)
endmacro()
