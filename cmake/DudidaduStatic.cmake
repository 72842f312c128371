# The static library (Linux, DUDIDADU_STATIC): one archive that holds one
# object, the library's own static parts linked together, in which every
# name but the fourteen functions is made local. The shared library's
# version script does that for the dynamic symbols; an application that
# links an archive meets all of its global names, and the kernel stand-in's
# GetLastError, CreateThread or Sleep must never meet an application's own.
#
# What the shared library gets from -z nodelete, a module linked into a
# program or into a shared object of the application's gets from the
# library itself: its first device pins the module that holds it (dlopen
# with RTLD_NODELETE), so a plug-in with sounds playing is never unloaded.

# The library's own static parts `target` needs, itself included, into `out`.
function(dudidadu_static_parts target out)
  set(parts ${${out}})
  if(NOT TARGET ${target} OR ${target} IN_LIST parts)
    set(${out} ${parts} PARENT_SCOPE)
    return()
  endif()
  get_target_property(type ${target} TYPE)
  if(type STREQUAL "STATIC_LIBRARY")
    list(APPEND parts ${target})
  endif()
  get_target_property(deps ${target} INTERFACE_LINK_LIBRARIES)
  foreach(dep IN LISTS deps)
    string(REGEX REPLACE "^\\$<LINK_ONLY:(.*)>$" "\\1" dep "${dep}")
    if(dep MATCHES "^dudidadu_")
      dudidadu_static_parts(${dep} parts)
    endif()
  endforeach()
  set(${out} ${parts} PARENT_SCOPE)
endfunction()

# dudidadu_static_library(NAME ROOT...): the archive NAME from the parts the
# ROOT targets need.
function(dudidadu_static_library name)
  set(parts "")
  foreach(root IN LISTS ARGN)
    dudidadu_static_parts(${root} parts)
  endforeach()
  set(archives "")
  foreach(part IN LISTS parts)
    list(APPEND archives $<TARGET_FILE:${part}>)
  endforeach()
  set(linked ${CMAKE_CURRENT_BINARY_DIR}/${name}-linked.o)
  set(merged ${CMAKE_CURRENT_BINARY_DIR}/${name}-static.o)
  find_program(DUDIDADU_OBJCOPY NAMES ${CMAKE_OBJCOPY} objcopy REQUIRED)
  add_custom_command(OUTPUT ${merged}
    COMMAND ${CMAKE_LINKER} -r -o ${linked} --whole-archive ${archives} --no-whole-archive
    # Everything built hidden becomes local; the fourteen functions, and
    # the C++ library's own template code, keep their names.
    COMMAND ${DUDIDADU_OBJCOPY} --localize-hidden ${linked} ${merged}
    DEPENDS ${parts}
    COMMENT "Linking the library's parts into one object for the static library"
    VERBATIM)
  add_library(${name} STATIC ${merged})
  set_target_properties(${name} PROPERTIES LINKER_LANGUAGE CXX)
  # What the parts need from the system. A C program is linked by the C
  # compiler, which does not add the C++ runtime by itself.
  find_package(Threads REQUIRED)
  target_link_libraries(${name} INTERFACE Threads::Threads ${CMAKE_DL_LIBS} m "$<$<LINK_LANGUAGE:C>:stdc++>")
endfunction()
