# One interface target carries the language level, warnings and Qt strictness;
# every Splicora target links it.
add_library(splicora_common INTERFACE)
target_compile_features(splicora_common INTERFACE cxx_std_20)
target_compile_options(splicora_common INTERFACE
  -Wall -Wextra -Wnon-virtual-dtor -Wno-multichar)
target_compile_definitions(splicora_common INTERFACE
  QT_NO_CAST_FROM_ASCII QT_NO_NARROWING_CONVERSIONS_IN_CONNECT
  _FILE_OFFSET_BITS=64)
target_include_directories(splicora_common INTERFACE ${CMAKE_SOURCE_DIR})
if(SPLICORA_SANITIZE)
  target_compile_options(splicora_common INTERFACE -fsanitize=address,undefined -fno-omit-frame-pointer)
  target_link_options(splicora_common INTERFACE -fsanitize=address,undefined)
endif()

# splicora_library(name folder [deps...]): a static library from every .cpp in folder.
# Sources are globbed so that adding a file needs no edit of a shared list.
function(splicora_library name folder)
  file(GLOB _srcs CONFIGURE_DEPENDS ${folder}/*.cpp ${folder}/*.h ${folder}/*.qrc)
  set(_built ${_srcs})
  list(FILTER _built INCLUDE REGEX "\\.(cpp|qrc)$")
  if(_built)
    add_library(${name} STATIC ${_srcs})
    target_link_libraries(${name} PUBLIC splicora_common ${ARGN})
  else()
    # A folder with nothing built yet still gives a target others can link.
    add_library(${name} INTERFACE)
    target_link_libraries(${name} INTERFACE splicora_common ${ARGN})
  endif()
endfunction()
