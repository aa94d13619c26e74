# Warnings are errors on every build.
function(project_warnings target)
  target_compile_options(${target} PRIVATE
    -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wsign-conversion -Wold-style-cast
    -Wnon-virtual-dtor -Wcast-align -Wnull-dereference -Wformat=2 -Werror)
endfunction()
