# A file's content (content/): hashes through libcrypto, and the XPRESS and
# LZX decompressors of system-compressed files through wimlib. Each is an
# option, on by default on Linux; a build without one says so when a file
# needs it (--hash, a system-compressed file).
#
# Each is found through pkg-config, else by its header and library: Debian's
# wimlib.pc requires fuse.pc for static linking, which a machine without
# libfuse-dev lacks, and pkg-config then refuses the module altogether.
if(WIN32)
  set(VELMORA_CONTENT_LIBRARIES_DEFAULT OFF)
else()
  set(VELMORA_CONTENT_LIBRARIES_DEFAULT ON)
endif()

# option  pkg-config module  header  library  what it gives
set(VELMORA_CONTENT_LIBRARIES
  "LIBCRYPTO|libcrypto|openssl/evp.h|crypto|MD5, SHA-1 and SHA-256"
  "WIMLIB|wimlib|wimlib.h|wim|XPRESS and LZX of system-compressed files")
set(VELMORA_CONTENT_IN "LZNT1")
foreach(entry ${VELMORA_CONTENT_LIBRARIES})
  string(REPLACE "|" ";" fields "${entry}")
  list(GET fields 0 name)
  list(GET fields 1 module)
  list(GET fields 2 header)
  list(GET fields 3 library)
  list(GET fields 4 what)
  option(VELMORA_WITH_${name} "${what} through ${module}" ${VELMORA_CONTENT_LIBRARIES_DEFAULT})
  if(NOT VELMORA_WITH_${name})
    continue()
  endif()
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(VELMORA_${name} QUIET IMPORTED_TARGET ${module})
  if(VELMORA_${name}_FOUND)
    target_link_libraries(velmora_core PUBLIC PkgConfig::VELMORA_${name})
  else()
    find_path(VELMORA_${name}_INCLUDE ${header})
    find_library(VELMORA_${name}_LIBRARY ${library})
    if(NOT VELMORA_${name}_INCLUDE OR NOT VELMORA_${name}_LIBRARY)
      message(FATAL_ERROR "${module} not found (${header}, lib${library}); install it or pass -DVELMORA_WITH_${name}=OFF")
    endif()
    target_include_directories(velmora_core PUBLIC ${VELMORA_${name}_INCLUDE})
    target_link_libraries(velmora_core PUBLIC ${VELMORA_${name}_LIBRARY})
  endif()
  # Public: the tests build their inputs with the same libraries.
  target_compile_definitions(velmora_core PUBLIC VELMORA_HAVE_${name}=1)
  string(APPEND VELMORA_CONTENT_IN ", ${what}")
endforeach()
message(STATUS "Content read and hashed: ${VELMORA_CONTENT_IN}")
