# The Python package for the system's python3 (Debian: python3-notavero):
# the modules under lib/python3/dist-packages/notavero, with the release
# version written in; it loads the runtime package's libnotavero.so.MAJOR
# through the system's loader.  (pip installs the same modules with the
# library inside: bindings/python/_build/notavero_build.py.)
file(GLOB notavero_python_modules ${PROJECT_SOURCE_DIR}/bindings/python/notavero/*.py)
file(CONFIGURE OUTPUT ${PROJECT_BINARY_DIR}/python/_version.py CONTENT "__version__ = \"${PROJECT_VERSION}\"\n")
install(FILES ${notavero_python_modules} ${PROJECT_BINARY_DIR}/python/_version.py
        DESTINATION lib/python3/dist-packages/notavero COMPONENT python3)
notavero_package(python3 NAME python3-notavero SECTION python
  DESCRIPTION "The Python 3 package notavero (import notavero): the driver from Python through\nctypes, with events for threads and asyncio."
  DEPENDS "python3, libnotavero${PROJECT_VERSION_MAJOR} (= ${PROJECT_VERSION})")
