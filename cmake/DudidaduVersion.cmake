# The project's version is the one source: the header's version macros, the
# library's file names, the Windows version resource, the packages and the
# CMake and pkg-config files all follow it. The header is checked here rather
# than generated, so that it stays usable straight from the source tree.
file(STRINGS ${PROJECT_SOURCE_DIR}/include/dudidadu.h dudidadu_version_lines
  REGEX "^#define DUDIDADU_VERSION_[A-Z]+ ")
set(dudidadu_expected
  "#define DUDIDADU_VERSION_MAJOR ${PROJECT_VERSION_MAJOR}"
  "#define DUDIDADU_VERSION_MINOR ${PROJECT_VERSION_MINOR}"
  "#define DUDIDADU_VERSION_PATCH ${PROJECT_VERSION_PATCH}"
  "#define DUDIDADU_VERSION_STRING \"${PROJECT_VERSION}\"")
if(NOT dudidadu_version_lines STREQUAL dudidadu_expected)
  string(REPLACE ";" "\n  " found "${dudidadu_version_lines}")
  string(REPLACE ";" "\n  " wanted "${dudidadu_expected}")
  message(FATAL_ERROR "include/dudidadu.h has the version macros\n  ${found}\n"
    "but the project is version ${PROJECT_VERSION}; the header needs\n  ${wanted}")
endif()
