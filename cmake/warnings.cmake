# Warning flags shared by every target of the project.
function(tessellon_warnings target)
  target_compile_options(${target} PRIVATE
    $<$<COMPILE_LANGUAGE:CXX>:-Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wno-sign-conversion
                              -Wnon-virtual-dtor -Wold-style-cast -Wcast-align -Woverloaded-virtual>)
endfunction()
