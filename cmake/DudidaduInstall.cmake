# Installation. With DUDIDADU_INSTALL (a build of its own): the library, its
# header, a CMake package (find_package(dudidadu) gives dudidadu::dudidadu), a
# pkg-config file and dudidadu-play. Otherwise, inside another project
# (add_subdirectory, FetchContent), that project's install() installs the
# run-time library only, so that its installed programs start: the shared
# library (its real file and the soname link) into the library folder, the
# DLL beside the programs. A static library is part of the programs.
include(GNUInstallDirs)

# Programs find the library from where they are, wherever the installation
# is put or moved to; one in a folder the system searches needs nothing.
file(RELATIVE_PATH dudidadu_bin_to_lib ${CMAKE_INSTALL_FULL_BINDIR} ${CMAKE_INSTALL_FULL_LIBDIR})
if(CMAKE_INSTALL_FULL_LIBDIR IN_LIST CMAKE_PLATFORM_IMPLICIT_LINK_DIRECTORIES)
  set(DUDIDADU_INSTALL_RPATH "")
else()
  set(DUDIDADU_INSTALL_RPATH "$ORIGIN/${dudidadu_bin_to_lib}")
endif()

if(NOT DUDIDADU_INSTALL)
  get_target_property(dudidadu_type dudidadu TYPE)
  if(dudidadu_type STREQUAL "SHARED_LIBRARY")
    install(TARGETS dudidadu
      RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT dudidadu_runtime
      LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dudidadu_runtime NAMELINK_SKIP
      ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dudidadu_development EXCLUDE_FROM_ALL)
  endif()
  return()
endif()

include(CMakePackageConfigHelpers)

set(DUDIDADU_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/dudidadu)

install(TARGETS dudidadu EXPORT dudidaduTargets
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  PUBLIC_HEADER DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
get_target_property(dudidadu_type dudidadu TYPE)
if(TARGET dudidadu-play AND dudidadu_type STREQUAL "SHARED_LIBRARY")
  set_target_properties(dudidadu-play PROPERTIES INSTALL_RPATH "${DUDIDADU_INSTALL_RPATH}")
endif()

# Windows: what other toolchains link with. The .def lists the DLL's exports;
# dudidadu.lib is an import library in Microsoft's format for MSVC and
# clang-cl (libdudidadu.dll.a is the one for mingw).
if(WIN32)
  install(FILES ${PROJECT_SOURCE_DIR}/src/platform/win/dudidadu.def
    DESTINATION ${CMAKE_INSTALL_LIBDIR})
  if(DUDIDADU_MSVC_IMPORT_LIBRARY)
    install(FILES ${DUDIDADU_MSVC_IMPORT_LIBRARY} DESTINATION ${CMAKE_INSTALL_LIBDIR})
  endif()
endif()

# Licence, read-me, changelog and reference: beside the files on Windows, where a zip or a folder is
# the installation; in the documentation folder elsewhere.
if(WIN32)
  set(DUDIDADU_DOC_DIR .)
else()
  set(DUDIDADU_DOC_DIR ${CMAKE_INSTALL_DOCDIR})
endif()
install(FILES ${PROJECT_SOURCE_DIR}/LICENSE ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/CHANGELOG.md
    ${PROJECT_SOURCE_DIR}/docs/api.md
  DESTINATION ${DUDIDADU_DOC_DIR})

install(EXPORT dudidaduTargets
  NAMESPACE dudidadu::
  DESTINATION ${DUDIDADU_CMAKE_DIR})

# A static library brings what it needs from the system along.
if(dudidadu_type STREQUAL "STATIC_LIBRARY")
  set(DUDIDADU_CONFIG_DEPENDENCIES "include(CMakeFindDependencyMacro)\nfind_dependency(Threads)")
  set(DUDIDADU_PC_LIBS " -lstdc++ -lm")
  foreach(lib IN LISTS CMAKE_DL_LIBS)
    string(APPEND DUDIDADU_PC_LIBS " -l${lib}")
  endforeach()
  string(APPEND DUDIDADU_PC_LIBS " -pthread")
else()
  set(DUDIDADU_CONFIG_DEPENDENCIES "")
  set(DUDIDADU_PC_LIBS "")
endif()
configure_package_config_file(
  ${CMAKE_CURRENT_LIST_DIR}/dudidaduConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/dudidaduConfig.cmake
  INSTALL_DESTINATION ${DUDIDADU_CMAKE_DIR})
# Before 1.0 a minor release may change the interface; from 1.0 on only a
# major one does.
if(PROJECT_VERSION_MAJOR EQUAL 0)
  set(DUDIDADU_COMPATIBILITY SameMinorVersion)
else()
  set(DUDIDADU_COMPATIBILITY SameMajorVersion)
endif()
write_basic_package_version_file(
  ${CMAKE_CURRENT_BINARY_DIR}/dudidaduConfigVersion.cmake
  VERSION ${PROJECT_VERSION}
  COMPATIBILITY ${DUDIDADU_COMPATIBILITY})
install(FILES
  ${CMAKE_CURRENT_BINARY_DIR}/dudidaduConfig.cmake
  ${CMAKE_CURRENT_BINARY_DIR}/dudidaduConfigVersion.cmake
  DESTINATION ${DUDIDADU_CMAKE_DIR})

# The .pc file finds its prefix from its own place, so that an installation
# with `cmake --install --prefix` elsewhere, or a moved one, still works.
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}")
  set(DUDIDADU_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
  set(DUDIDADU_PC_LIBDIR "${CMAKE_INSTALL_LIBDIR}")
else()
  file(RELATIVE_PATH up "/p/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/p")
  string(REGEX REPLACE "/$" "" up "${up}")
  set(DUDIDADU_PC_PREFIX "\${pcfiledir}/${up}")
  set(DUDIDADU_PC_LIBDIR "\${prefix}/${CMAKE_INSTALL_LIBDIR}")
endif()
if(IS_ABSOLUTE "${CMAKE_INSTALL_INCLUDEDIR}")
  set(DUDIDADU_PC_INCLUDEDIR "${CMAKE_INSTALL_INCLUDEDIR}")
else()
  set(DUDIDADU_PC_INCLUDEDIR "\${prefix}/${CMAKE_INSTALL_INCLUDEDIR}")
endif()
configure_file(${CMAKE_CURRENT_LIST_DIR}/dudidadu.pc.in
  ${CMAKE_CURRENT_BINARY_DIR}/dudidadu.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/dudidadu.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
