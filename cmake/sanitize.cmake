# QUORPY_SANITIZE: instrument every target of the including project with AddressSanitizer
# and UndefinedBehaviorSanitizer. Shared by the package and the test natives, so that
# scripts/sanitize.sh checks both with the same flags. The interpreter is not
# instrumented, so the ASan runtime must be preloaded. No check recovers, so the first
# report ends the process; -g and frame pointers make its stack readable.
option(QUORPY_SANITIZE "Build with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)
if(QUORPY_SANITIZE)
  if(MSVC)
    message(FATAL_ERROR "QUORPY_SANITIZE needs GCC or Clang")
  endif()
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer -g)
  add_link_options(-fsanitize=address,undefined)
endif()
