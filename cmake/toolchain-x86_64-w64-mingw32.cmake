# 64-bit Windows with Debian's mingw-w64 (posix thread model); programs run under Wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(DUDIDADU_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${DUDIDADU_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${DUDIDADU_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${DUDIDADU_MINGW_TRIPLE}-windres)
# Libraries, headers and packages for the target: those of the cross compiler
# and those under the prefixes named in CMAKE_PREFIX_PATH (given to cmake or
# in the environment), which are searched as they are, not inside its root.
set(CMAKE_FIND_ROOT_PATH /usr/${DUDIDADU_MINGW_TRIPLE} ${CMAKE_PREFIX_PATH})
if(DEFINED ENV{CMAKE_PREFIX_PATH})
  string(REPLACE ":" ";" dudidadu_env_prefixes "$ENV{CMAKE_PREFIX_PATH}")
  list(APPEND CMAKE_FIND_ROOT_PATH ${dudidadu_env_prefixes})
endif()
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_CROSSCOMPILING_EMULATOR wine)
