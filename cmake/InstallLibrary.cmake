# Install rules of the library for hosts (included by driver/CMakeLists.txt):
#   Runtime      libnotavero.so.MAJOR (Notavero.dll)
#   Development  the public headers under include/notavero/ (and driver/), the
#                libnotavero.so link, the CMake package and notavero.pc;
#                on Windows the import libraries, Notavero.def, the CMake
#                package, a README, an example host and the docs it needs.
include(CMakePackageConfigHelpers)

set(notavero_public_headers
    ${PROJECT_SOURCE_DIR}/driver/notavero.h
    ${PROJECT_SOURCE_DIR}/driver/notavero_host.h
    ${PROJECT_BINARY_DIR}/generated/driver/notavero_version.h)
install(FILES ${notavero_public_headers}
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/notavero/driver COMPONENT Development)
install(FILES ${PROJECT_BINARY_DIR}/generated/notavero/notavero.h ${PROJECT_BINARY_DIR}/generated/notavero/notavero_host.h
              ${PROJECT_BINARY_DIR}/generated/notavero/notavero_version.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/notavero COMPONENT Development)

install(TARGETS notavero_shared EXPORT notaveroTargets
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT Runtime
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT Runtime NAMELINK_COMPONENT Development
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT Development)

if(WIN32)
  # The SDK: the DLL beside the headers, the .def it was linked with, the
  # mingw import library (libNotavero.dll.a) and one for Visual C++
  # (Notavero.lib), made from the .def.
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(notavero_def ${PROJECT_SOURCE_DIR}/driver/Notavero-x86.def)
    set(notavero_machine i386)
    set(notavero_sdk_arch "32-bit x86")
    set(notavero_sdk_platform Win32)
  else()
    set(notavero_def ${PROJECT_SOURCE_DIR}/driver/Notavero.def)
    set(notavero_machine i386:x86-64)
    set(notavero_sdk_arch x64)
    set(notavero_sdk_platform x64)
  endif()
  install(FILES ${notavero_def} DESTINATION ${CMAKE_INSTALL_LIBDIR} RENAME Notavero.def COMPONENT Development)
  # llvm-dlltool writes the short import library format of Microsoft's
  # linker.  On x86 -k maps the decorated __stdcall name that MSVC
  # references (_GetDriver@8) to the DLL's undecorated export.
  find_program(NOTAVERO_LLVM_DLLTOOL NAMES llvm-dlltool llvm-dlltool-14 llvm-dlltool-15 llvm-dlltool-16)
  if(MSVC)
    # Visual C++ made Notavero.lib itself.
  elseif(NOTAVERO_LLVM_DLLTOOL)
    set(notavero_msvc_lib ${PROJECT_BINARY_DIR}/Notavero.lib)
    add_custom_command(OUTPUT ${notavero_msvc_lib}
                       COMMAND ${NOTAVERO_LLVM_DLLTOOL} -m ${notavero_machine} -k -D Notavero.dll -d ${notavero_def}
                               -l ${notavero_msvc_lib}
                       DEPENDS ${notavero_def} VERBATIM)
    add_custom_target(notavero_msvc_import_library ALL DEPENDS ${notavero_msvc_lib})
    install(FILES ${notavero_msvc_lib} DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT Development)
  else()
    message(WARNING "llvm-dlltool not found: the SDK gets no import library for Visual C++ (Notavero.lib)")
  endif()
  configure_file(${PROJECT_SOURCE_DIR}/cmake/sdk-readme.txt.in ${PROJECT_BINARY_DIR}/README.txt @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/README.txt DESTINATION . COMPONENT Development)
  # find_package(notavero) for Visual Studio and mingw-w64 projects: imported
  # targets made by hand, since the exported one would only know the mingw
  # import library.  The version file refuses a project of the other width.
  set(notavero_cmake_dir ${CMAKE_INSTALL_LIBDIR}/cmake/notavero)
  configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/notaveroConfig-windows.cmake.in
                                ${PROJECT_BINARY_DIR}/notaveroConfig.cmake INSTALL_DESTINATION ${notavero_cmake_dir})
  write_basic_package_version_file(${PROJECT_BINARY_DIR}/notaveroConfigVersion.cmake COMPATIBILITY SameMajorVersion)
  install(FILES ${PROJECT_BINARY_DIR}/notaveroConfig.cmake ${PROJECT_BINARY_DIR}/notaveroConfigVersion.cmake
          DESTINATION ${notavero_cmake_dir} COMPONENT Development)
  # Two hosts to start from (C++ with the GetDriver object, C with the C
  # functions), built with that package, and the pages an integrator reads
  # (their links to examples/cpp/ and examples/windows/ hold in the archive too).
  install(FILES ${PROJECT_SOURCE_DIR}/examples/cpp/CMakeLists.txt ${PROJECT_SOURCE_DIR}/examples/cpp/get_driver.cpp
          DESTINATION examples/cpp COMPONENT Development)
  install(FILES ${PROJECT_SOURCE_DIR}/examples/windows/CMakeLists.txt ${PROJECT_SOURCE_DIR}/examples/windows/kiosk.c
          DESTINATION examples/windows COMPONENT Development)
  install(FILES ${PROJECT_SOURCE_DIR}/docs/c-api.md ${PROJECT_SOURCE_DIR}/docs/windows.md
          DESTINATION docs COMPONENT Development)
  return()
endif()

# The CMake package: find_package(notavero) gives the target notavero::notavero.
set(notavero_cmake_dir ${CMAKE_INSTALL_LIBDIR}/cmake/notavero)
install(EXPORT notaveroTargets NAMESPACE notavero:: DESTINATION ${notavero_cmake_dir} COMPONENT Development)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/notaveroConfig.cmake.in
                              ${PROJECT_BINARY_DIR}/notaveroConfig.cmake INSTALL_DESTINATION ${notavero_cmake_dir})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/notaveroConfigVersion.cmake COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/notaveroConfig.cmake ${PROJECT_BINARY_DIR}/notaveroConfigVersion.cmake
        DESTINATION ${notavero_cmake_dir} COMPONENT Development)

# notavero.pc, relocatable: its paths are relative to the file's own place,
# so the same file serves /usr, /usr/local and a prefix unpacked anywhere.
file(RELATIVE_PATH notavero_pc_prefix ${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig ${CMAKE_INSTALL_PREFIX})
string(REGEX REPLACE "/$" "" notavero_pc_prefix "\${pcfiledir}/${notavero_pc_prefix}")
foreach(dir LIBDIR INCLUDEDIR)
  if(IS_ABSOLUTE "${CMAKE_INSTALL_${dir}}")
    set(notavero_pc_${dir} "${CMAKE_INSTALL_${dir}}")
  else()
    set(notavero_pc_${dir} "\${prefix}/${CMAKE_INSTALL_${dir}}")
  endif()
endforeach()
configure_file(${PROJECT_SOURCE_DIR}/cmake/notavero.pc.in ${PROJECT_BINARY_DIR}/notavero.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/notavero.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT Development)
