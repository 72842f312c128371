# Packages, made with cpack in a build directory: a .deb on Linux (the
# library, header, CMake and pkg-config files and dudidadu-play) and a zip for
# Windows, one per architecture, so that each holds one DLL with the files to
# build against it and needs no choosing inside.
set(CPACK_PACKAGE_NAME dudidadu)
set(CPACK_PACKAGE_VENDOR "the dudidadu authors")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_DESCRIPTION "A small sound library for applications and games: fourteen plain C
functions that open whole RIFF/WAVE sounds from files or memory, play them
once or looped, fade them out, and set their volume, pan and frequency. It
plays through PulseAudio or PipeWire, else through a silent output. With
its header, CMake and pkg-config files and the player dudidadu-play.")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)
set(CPACK_STRIP_FILES ON)
set(CPACK_VERBATIM_VARIABLES ON)

if(WIN32)
  set(CPACK_GENERATOR ZIP)
else()
  set(CPACK_GENERATOR DEB)
endif()

# Debian: one package with everything, named and versioned the Debian way,
# made from a build for /usr, whose libraries go into the multiarch folder
# (/usr/lib/x86_64-linux-gnu and the like): cmake -DCMAKE_INSTALL_PREFIX=/usr.
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(DUDIDADU_DEB_MAINTAINER "the dudidadu authors <dudidadu@example.org>" CACHE STRING
  "Maintainer of the .deb, as Name <address>")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${DUDIDADU_DEB_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
# The C and C++ runtimes come from what the binaries link; the sound server's
# client library and ALSA's are loaded only when present, so they are
# recommended.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "libpulse0, libasound2")
# The library cache is brought up to date by a trigger, as Debian does it.
file(WRITE ${PROJECT_BINARY_DIR}/deb/triggers "activate-noawait ldconfig\n")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${PROJECT_BINARY_DIR}/deb/triggers)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

# What the packaging step needs to know of this build (cpack reads CPACK_*
# variables only): the .deb's own documents are added to what the
# installation holds, and a build for another prefix is refused.
set(CPACK_DUDIDADU_SOURCE_DIR ${PROJECT_SOURCE_DIR})
set(CPACK_DUDIDADU_LIBDIR ${CMAKE_INSTALL_LIBDIR})
set(CPACK_DUDIDADU_DEB_LIBDIR lib/${CMAKE_LIBRARY_ARCHITECTURE})
set(CPACK_DUDIDADU_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_DUDIDADU_DOCDIR ${CMAKE_INSTALL_DOCDIR})
string(TIMESTAMP CPACK_DUDIDADU_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_LIST_DIR}/DudidaduPackageCheck.cmake)
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/DudidaduDebDocs.cmake)

include(CPack)
