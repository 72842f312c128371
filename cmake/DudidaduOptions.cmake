# Warnings, sanitizers and the Windows link settings shared by every target.

if(MSVC)
  add_compile_options(/W4 /EHa)
else()
  # C and C++ only: the Windows resource compiler takes none of these.
  add_compile_options($<$<COMPILE_LANGUAGE:C,CXX>:-Wall> $<$<COMPILE_LANGUAGE:C,CXX>:-Wextra>)
  if(DUDIDADU_WERROR)
    add_compile_options($<$<COMPILE_LANGUAGE:C,CXX>:-Werror>)
  endif()
endif()

if(DUDIDADU_SANITIZE STREQUAL "address")
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
elseif(DUDIDADU_SANITIZE STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
elseif(NOT DUDIDADU_SANITIZE STREQUAL "")
  message(FATAL_ERROR "DUDIDADU_SANITIZE must be address, thread or empty")
endif()

if(WIN32 AND NOT MSVC)
  # The DLL and the test programs carry their own C++ runtime, so that they run
  # on a bare Windows (or Wine) without the compiler's DLLs beside them.
  add_link_options(-static -static-libgcc -static-libstdc++)
endif()
