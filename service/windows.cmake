# notavero-serve.exe, cross-built with mingw-w64 from the same sources as the
# Linux service, with the Windows twins of its platform files (*_win32.cpp).
# Its libraries:
#  - Boost.Asio/Beast and nlohmann-json, header-only, from the build
#    machine's Debian packages (libboost-dev, nlohmann-json3-dev), through an
#    include directory of their own that links those two trees only: the
#    rest of /usr/include is Linux's and must not be seen;
#  - SQLite compiled in from its amalgamation, NOTAVERO_SQLITE_AMALGAMATION
#    (scripts/sqlite-amalgamation unpacks a pinned, checked copy);
#  - the system's CNG (bcrypt) for SHA-256 and random bytes, advapi32 for
#    access lists and the service control manager, Winsock.
# The ledger (libpq) is Linux-only: ledger_win32.cpp refuses it.
set(NOTAVERO_SQLITE_AMALGAMATION "${PROJECT_SOURCE_DIR}/build/sqlite" CACHE PATH
    "Directory with sqlite3.c and sqlite3.h for notavero-serve.exe (scripts/sqlite-amalgamation)")
set(NOTAVERO_HOST_INCLUDE "/usr/include" CACHE PATH
    "Where the build machine's boost/ and nlohmann/ header trees are")
if(NOT EXISTS ${NOTAVERO_SQLITE_AMALGAMATION}/sqlite3.c OR NOT EXISTS ${NOTAVERO_HOST_INCLUDE}/boost/beast.hpp
   OR NOT EXISTS ${NOTAVERO_HOST_INCLUDE}/nlohmann/json.hpp)
  message(STATUS "notavero-serve.exe: not built (needs libboost-dev and nlohmann-json3-dev on the build machine "
                 "and the SQLite amalgamation in NOTAVERO_SQLITE_AMALGAMATION: scripts/sqlite-amalgamation)")
  return()
endif()

set(host_include ${CMAKE_CURRENT_BINARY_DIR}/host-include)
file(MAKE_DIRECTORY ${host_include})
foreach(tree boost nlohmann)
  file(CREATE_LINK ${NOTAVERO_HOST_INCLUDE}/${tree} ${host_include}/${tree} SYMBOLIC)
endforeach()

add_library(notavero_sqlite STATIC ${NOTAVERO_SQLITE_AMALGAMATION}/sqlite3.c)
target_include_directories(notavero_sqlite SYSTEM PUBLIC ${NOTAVERO_SQLITE_AMALGAMATION})
# Serialized threading as Debian builds it; no extensions loaded from files.
target_compile_definitions(notavero_sqlite PRIVATE SQLITE_THREADSAFE=1 SQLITE_OMIT_LOAD_EXTENSION)
set_target_properties(notavero_sqlite PROPERTIES POSITION_INDEPENDENT_CODE OFF)

add_library(notavero_service STATIC
  cassette.cpp
  clients.cpp
  commands.cpp
  config.cpp
  housekeeping.cpp
  journal.cpp
  messages.cpp
  metrics.cpp
  routes.cpp
  security.cpp
  sqlite.cpp
  validator.cpp
  digest_win32.cpp
  ledger_win32.cpp
  platform_win32.cpp
  security_win32.cpp)
target_include_directories(notavero_service PUBLIC ${PROJECT_SOURCE_DIR})
target_include_directories(notavero_service SYSTEM PUBLIC ${host_include})
# The driver's code is linked in (notavero_core), not imported from Notavero.dll.
target_compile_definitions(notavero_service PUBLIC WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0601 NOTAVERO_STATIC)
target_link_libraries(notavero_service PUBLIC notavero_core notavero_sqlite bcrypt advapi32 shell32 ole32)
notavero_warnings(notavero_service)

add_executable(notavero-serve main.cpp process_win32.cpp server.cpp)
target_link_libraries(notavero-serve PRIVATE notavero_service ws2_32 mswsock)
target_compile_definitions(notavero-serve PRIVATE BOOST_BEAST_USE_STD_STRING_VIEW BOOST_ASIO_NO_DEPRECATED
                                                  BOOST_ERROR_CODE_HEADER_ONLY)
# Beast's objects are large; the default COFF object format runs out of sections.
set_source_files_properties(server.cpp PROPERTIES COMPILE_OPTIONS -Wa,-mbig-obj)
notavero_warnings(notavero-serve)

# In the SDK archive of each architecture (every component goes in it): serve/ holds what a kiosk
# copies to a directory of its own, the exe, the status page and an example
# configuration.
if(DEFINED NOTAVERO_INSTALL AND NOT NOTAVERO_INSTALL)
  return()
endif()
install(TARGETS notavero-serve RUNTIME DESTINATION serve COMPONENT serve)
install(DIRECTORY www/ DESTINATION serve/www COMPONENT serve)
install(FILES notavero-serve.windows.conf.example DESTINATION serve RENAME notavero-serve.conf.example COMPONENT serve)
