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

# Debian: one package with everything, named and versioned the Debian way.
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "the dudidadu authors")
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
# The C and C++ runtimes come from what the binaries link; the sound server's
# client library and ALSA's are loaded only when present, so they are
# recommended.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "libpulse0, libasound2")

include(CPack)
