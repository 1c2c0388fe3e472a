# The SDK: `cmake --install` puts the public headers, the library (with a
# versioned SONAME on Linux), the console, the emulator and the definitions
# checker, a CMake package (find_package(termbridge) gives
# termbridge::termbridge), a pkg-config file whose link flags carry the
# library's folder as run path, the Wireshark dissector with the name table of
# the example definitions (share/termbridge/wireshark) and a wheel of the
# Python package (share/termbridge/python) under the prefix. The
# `package` target (CPack) makes the release archive: on the Windows build the
# DLL, its import libraries (TermBridge.lib for Visual Studio hosts,
# libTermBridge.dll.a for mingw hosts) and .def, the headers, tb-console.exe
# and the README.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(TB_CMAKE_PACKAGE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/termbridge)

# What the install takes from the build: the `sdk` target builds it, and the
# install first names what is missing (a partial build, ./run.sh demo's,
# leaves the Python wheel out) rather than stopping at the first file.
set(tb_sdk_targets TermBridge)
set(tb_sdk_files $<TARGET_FILE:TermBridge>)

# Visual Studio hosts link x86 images with safe exception handlers, which a
# GNU import library's members do not declare: theirs is made from the export
# list by LLVM's dlltool, in the MSVC format (cdecl names, decorated as i386
# wants them). The GNU one keeps its GNU name for mingw hosts.
if(WIN32)
  find_program(TB_LLVM_DLLTOOL NAMES llvm-dlltool llvm-dlltool-14)
  if(NOT TB_LLVM_DLLTOOL)
    message(FATAL_ERROR "llvm-dlltool not found: it makes the import library for Visual Studio hosts "
                        "(Debian package llvm)")
  endif()
  set(TB_MSVC_IMPORT_LIBRARY ${CMAKE_BINARY_DIR}/msvc/TermBridge.lib)
  add_custom_command(OUTPUT ${TB_MSVC_IMPORT_LIBRARY}
                     COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/msvc
                     COMMAND ${TB_LLVM_DLLTOOL} -m i386 -d ${PROJECT_SOURCE_DIR}/src/TermBridge.def
                             -l ${TB_MSVC_IMPORT_LIBRARY}
                     DEPENDS ${PROJECT_SOURCE_DIR}/src/TermBridge.def
                     COMMENT "Import library for Visual Studio hosts")
  add_custom_target(tb_msvc_import_library ALL DEPENDS ${TB_MSVC_IMPORT_LIBRARY})
  list(APPEND tb_sdk_targets tb_msvc_import_library)
  list(APPEND tb_sdk_files ${TB_MSVC_IMPORT_LIBRARY})
endif()
foreach(tool tb-console tb-emulator tb-defcheck)
  if(TARGET ${tool})
    list(APPEND tb_sdk_targets ${tool})
    list(APPEND tb_sdk_files $<TARGET_FILE:${tool}>)
  endif()
endforeach()
foreach(files_target tb_wireshark tb_python_wheel)
  if(TARGET ${files_target})
    list(APPEND tb_sdk_targets ${files_target})
    get_property(tb_target_files TARGET ${files_target} PROPERTY TB_FILES)
    list(APPEND tb_sdk_files ${tb_target_files})
  endif()
endforeach()
add_custom_target(sdk)
add_dependencies(sdk ${tb_sdk_targets})
set(tb_sdk_file_words "")
foreach(file IN LISTS tb_sdk_files)
  string(APPEND tb_sdk_file_words " \"${file}\"")
endforeach()
install(CODE "
  set(tb_missing)
  foreach(file IN ITEMS${tb_sdk_file_words})
    if(NOT EXISTS \"\${file}\")
      string(APPEND tb_missing \"\n  \${file}\")
    endif()
  endforeach()
  if(tb_missing)
    message(FATAL_ERROR \"not built yet:\${tb_missing}\nbuild them first: cmake --build ${CMAKE_BINARY_DIR} --target sdk\")
  endif()
")

set_target_properties(TermBridge PROPERTIES EXPORT_NAME termbridge)
if(NOT WIN32)
  # libTermBridge.so -> libTermBridge.so.1 -> libTermBridge.so.1.0.0: hosts
  # link against the major version, which changes only when the exports do.
  set_target_properties(TermBridge PROPERTIES
    VERSION ${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${PROJECT_VERSION_PATCH}
    SOVERSION ${PROJECT_VERSION_MAJOR})
endif()
if(WIN32)
  # The GNU import library by the name mingw tool chains look for (-lTermBridge).
  set_target_properties(TermBridge PROPERTIES IMPORT_PREFIX "lib" IMPORT_SUFFIX ".dll.a")
  install(FILES ${TB_MSVC_IMPORT_LIBRARY} DESTINATION ${CMAKE_INSTALL_LIBDIR})
endif()

install(TARGETS TermBridge EXPORT termbridgeTargets
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
        INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
# Every public header: termbridge.h and the extension header when there is one.
file(GLOB TB_PUBLIC_HEADERS CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/include/*.h)
install(FILES ${TB_PUBLIC_HEADERS} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

foreach(tool tb-console tb-emulator tb-defcheck)
  if(TARGET ${tool})
    install(TARGETS ${tool} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
endforeach()

if(TARGET tb_wireshark)
  get_property(tb_wireshark_files TARGET tb_wireshark PROPERTY TB_FILES)
  install(FILES ${tb_wireshark_files} DESTINATION ${CMAKE_INSTALL_DATADIR}/termbridge/wireshark)
endif()

if(TARGET tb_python_wheel)
  get_property(tb_wheel TARGET tb_python_wheel PROPERTY TB_FILES)
  install(FILES ${tb_wheel} DESTINATION ${CMAKE_INSTALL_DATADIR}/termbridge/python)
endif()

if(WIN32)
  install(FILES ${PROJECT_SOURCE_DIR}/src/TermBridge.def DESTINATION ${CMAKE_INSTALL_LIBDIR})
  install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION .)
else()
  install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
endif()

# The CMake package, relocatable: it finds its files from where it lies.
install(EXPORT termbridgeTargets NAMESPACE termbridge:: FILE termbridgeTargets.cmake
        DESTINATION ${TB_CMAKE_PACKAGE_DIR})
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/termbridgeConfig.cmake.in
                              ${PROJECT_BINARY_DIR}/termbridgeConfig.cmake
                              INSTALL_DESTINATION ${TB_CMAKE_PACKAGE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/termbridgeConfigVersion.cmake
                                 VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/termbridgeConfig.cmake ${PROJECT_BINARY_DIR}/termbridgeConfigVersion.cmake
        DESTINATION ${TB_CMAKE_PACKAGE_DIR})

# pkg-config, relocatable too: the prefix is found from the .pc file's folder.
# On Linux the link flags carry the library's folder as run path, so that a
# host built with them runs as it is.
if(WIN32)
  set(TB_PC_RPATH "")
else()
  set(TB_PC_RPATH "-Wl,-rpath,\${libdir} ")
endif()
file(RELATIVE_PATH TB_PC_TO_PREFIX /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
string(REGEX REPLACE "/$" "" TB_PC_TO_PREFIX "${TB_PC_TO_PREFIX}")
configure_file(${PROJECT_SOURCE_DIR}/cmake/termbridge.pc.in ${PROJECT_BINARY_DIR}/termbridge.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/termbridge.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# `package`: the release archive.
set(CPACK_PACKAGE_NAME TermBridge)
set(CPACK_PACKAGE_VENDOR "termbridge")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Host-side library for the ZRX4620 modem chip")
if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME win32)
else()
  set(CPACK_GENERATOR TGZ)
endif()
set(CPACK_PACKAGE_FILE_NAME "${CPACK_PACKAGE_NAME}-${PROJECT_VERSION}-${CPACK_SYSTEM_NAME}")
include(CPack)
