# Warning-free builds on every target.
function(mfpsys_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Werror)
endfunction()
