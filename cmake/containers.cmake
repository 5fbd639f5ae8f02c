# Byte sources (source/): the in-memory and offset sources, partition
# tables, content detection, container detection and split raw always; each
# library-backed format is an option, on by default on Linux and found
# through pkg-config. A build without one tells the user, given such a
# container, that it does not open that format.
target_sources(velmora_core PRIVATE
  ${CMAKE_SOURCE_DIR}/source/byte_source.cpp ${CMAKE_SOURCE_DIR}/source/partitions.cpp
  ${CMAKE_SOURCE_DIR}/source/contents.cpp ${CMAKE_SOURCE_DIR}/source/drives.cpp ${CMAKE_SOURCE_DIR}/source/evidence.cpp
  ${CMAKE_SOURCE_DIR}/source/ewf_sections.cpp ${CMAKE_SOURCE_DIR}/source/chunk_cache.cpp
  ${CMAKE_SOURCE_DIR}/source/set_names.cpp
  ${CMAKE_SOURCE_DIR}/source/bound_platform.cpp)

if(WIN32)
  set(VELMORA_CONTAINERS_DEFAULT OFF)
else()
  set(VELMORA_CONTAINERS_DEFAULT ON)
endif()

# option  pkg-config module  source file  formats
set(VELMORA_CONTAINER_LIBRARIES
  "EWF|libewf|ewf_source|EWF (E01)"
  "AFF|afflib|aff_source|AFF"
  "VHDI|libvhdi|vhdi_source|VHD, VHDX"
  "VMDK|libvmdk|vmdk_source|VMDK"
  "QCOW|libqcow|qcow_source|QCOW2")
set(VELMORA_CONTAINERS_IN "split raw")
foreach(entry ${VELMORA_CONTAINER_LIBRARIES})
  string(REPLACE "|" ";" fields "${entry}")
  list(GET fields 0 name)
  list(GET fields 1 module)
  list(GET fields 2 file)
  list(GET fields 3 formats)
  option(VELMORA_WITH_${name} "Open ${formats} containers through ${module}" ${VELMORA_CONTAINERS_DEFAULT})
  if(VELMORA_WITH_${name})
    find_package(PkgConfig REQUIRED)
    pkg_check_modules(VELMORA_${name} REQUIRED IMPORTED_TARGET ${module})
    target_sources(velmora_core PRIVATE ${CMAKE_SOURCE_DIR}/source/${file}.cpp)
    target_link_libraries(velmora_core PUBLIC PkgConfig::VELMORA_${name})
    target_compile_definitions(velmora_core PRIVATE VELMORA_WITH_${name}=1)
    string(APPEND VELMORA_CONTAINERS_IN ", ${formats}")
  endif()
endforeach()
message(STATUS "Containers opened: ${VELMORA_CONTAINERS_IN}")
