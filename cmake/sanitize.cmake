# QUORPY_SANITIZE: instrument every target of the including project with a sanitizer.
# Shared by the package and the test natives, so that both are checked with the same
# flags: scripts/sanitize.sh and scripts/tsan.sh build them this way.
#   address  AddressSanitizer and UndefinedBehaviorSanitizer. The interpreter is not
#            instrumented, so the ASan runtime must be preloaded. No check recovers, so
#            the first report ends the process.
#   thread   ThreadSanitizer, for an interpreter built with it, whose runtime the
#            extensions find in the interpreter: it must be compiled with the same
#            compiler (scripts/pythons.sh 3.13t-tsan is built with Clang).
# -g and frame pointers make the reports' stacks readable.
set(QUORPY_SANITIZE OFF CACHE STRING "Sanitizer to build with: OFF, address (with undefined) or thread")
set_property(CACHE QUORPY_SANITIZE PROPERTY STRINGS OFF address thread)
if(QUORPY_SANITIZE)
  if(MSVC)
    message(FATAL_ERROR "QUORPY_SANITIZE needs GCC or Clang")
  endif()
  if(QUORPY_SANITIZE STREQUAL "address")
    set(QUORPY_SANITIZERS address,undefined)
    add_compile_options(-fno-sanitize-recover=all)
  elseif(QUORPY_SANITIZE STREQUAL "thread")
    set(QUORPY_SANITIZERS thread)
  else()
    message(FATAL_ERROR "QUORPY_SANITIZE=${QUORPY_SANITIZE}: expected OFF, address or thread")
  endif()
  add_compile_options(-fsanitize=${QUORPY_SANITIZERS} -fno-omit-frame-pointer -g)
  add_link_options(-fsanitize=${QUORPY_SANITIZERS})
endif()
