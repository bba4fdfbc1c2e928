# The Python package for the system's python3 (Debian: python3-notavero):
# the modules under lib/python3/dist-packages/notavero, with the release
# version written in; it loads the runtime package's libnotavero.so.MAJOR
# through the system's loader.  (pip installs the same modules with the
# library inside: bindings/python/_build/notavero_build.py.)
file(GLOB notavero_python_modules ${PROJECT_SOURCE_DIR}/bindings/python/notavero/*.py)
file(CONFIGURE OUTPUT ${PROJECT_BINARY_DIR}/python/_version.py CONTENT "__version__ = \"${PROJECT_VERSION}\"\n")
# The counters' fields, from NV_COUNTER_LIST in the C header (the package in
# the source tree reads the header itself).
file(READ ${PROJECT_SOURCE_DIR}/driver/notavero.h notavero_header)
string(REGEX MATCH "#define NV_COUNTER_LIST\\(X\\)[^\n]*(\n[^\n]+)*" counter_list "${notavero_header}")
string(REGEX MATCHALL "X\\([a-z_]+," counter_fields "${counter_list}")
list(TRANSFORM counter_fields REPLACE "X\\(([a-z_]+)," "'\\1', ")
string(JOIN "" counter_fields ${counter_fields})
file(CONFIGURE OUTPUT ${PROJECT_BINARY_DIR}/python/_counter_fields.py CONTENT "COUNTER_FIELDS = (${counter_fields})\n")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/driver/notavero.h)
install(FILES ${notavero_python_modules} ${PROJECT_BINARY_DIR}/python/_version.py
              ${PROJECT_BINARY_DIR}/python/_counter_fields.py
        DESTINATION lib/python3/dist-packages/notavero COMPONENT python3)
notavero_package(python3 NAME python3-notavero SECTION python
  DESCRIPTION "The Python 3 package notavero (import notavero): the driver from Python through\nctypes, with events for threads and asyncio."
  DEPENDS "python3, libnotavero${PROJECT_VERSION_MAJOR} (= ${PROJECT_VERSION})")
