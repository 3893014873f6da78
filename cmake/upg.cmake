# Shared build helpers: a layer library made of the sources present in its folder.
function(upg_library name)
  file(GLOB srcs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  # Platform files (name_posix.cpp, name_win32.cpp) are chosen by the folder itself.
  list(FILTER srcs EXCLUDE REGEX "_(posix|win32)\\.cpp$")
  foreach(extra ${ARGN})
    list(APPEND srcs ${extra})
  endforeach()
  add_library(${name} STATIC ${srcs})
  target_include_directories(${name} PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
endfunction()
