# Compiler settings shared by every target of the project.

add_library(larkfield_options INTERFACE)
target_compile_options(larkfield_options INTERFACE -Wall -Wextra -Wpedantic)
target_compile_features(larkfield_options INTERFACE cxx_std_20)

if(LARKFIELD_SANITIZE)
  set(_san -fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  target_compile_options(larkfield_options INTERFACE ${_san})
  target_link_options(larkfield_options INTERFACE ${_san})
endif()

if(LARKFIELD_FUZZ)
  # Coverage for libFuzzer in every library, not only in the fuzz targets' own files.
  target_compile_options(larkfield_options INTERFACE -fsanitize=fuzzer-no-link)
endif()

# larkfield_target(NAME) applies the shared settings to a target.
function(larkfield_target name)
  target_link_libraries(${name} PRIVATE larkfield_options)
endfunction()
