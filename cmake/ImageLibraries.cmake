# The image format libraries and zlib, as one set of imported targets for every target system:
#
#   varnholt::zlib  varnholt::png  varnholt::jpeg  varnholt::gif
#   varnholt::tiff  varnholt::webp  varnholt::webpdemux  varnholt::webpmux (the tests' encoder)
#
# On Linux they are Debian's shared libraries, found with pkg-config (giflib ships no pkg-config
# file, so it is found by its header and library). For Windows they are the static libraries that
# scripts/build-windows-deps builds into the toolchain's prefix (CMAKE_FIND_ROOT_PATH); a static
# library names none of its own dependencies, so the targets carry them: libpng needs zlib,
# libtiff needs libjpeg and zlib (its only codecs there), libwebpdemux needs libwebp.

# varnholt_found_library(NAME HEADER LIBRARY-NAMES... [DEPENDS TARGETS...]): a target for the
# library found by its header and file, with the targets it needs.
function(varnholt_found_library name header)
  cmake_parse_arguments(PARSE_ARGV 2 arg "" "" "DEPENDS")
  string(TOUPPER "${name}" upper)
  find_path(VARNHOLT_${upper}_INCLUDE_DIR ${header} REQUIRED)
  find_library(VARNHOLT_${upper}_LIBRARY NAMES ${arg_UNPARSED_ARGUMENTS} NAMES_PER_DIR REQUIRED)
  add_library(varnholt::${name} UNKNOWN IMPORTED)
  set_target_properties(varnholt::${name} PROPERTIES
    IMPORTED_LOCATION "${VARNHOLT_${upper}_LIBRARY}"
    INTERFACE_INCLUDE_DIRECTORIES "${VARNHOLT_${upper}_INCLUDE_DIR}"
    INTERFACE_LINK_LIBRARIES "${arg_DEPENDS}")
endfunction()

# varnholt_pkg_library(NAME MODULE): a target that stands for the pkg-config module.
function(varnholt_pkg_library name module)
  pkg_check_modules(varnholt_${name} REQUIRED IMPORTED_TARGET ${module})
  add_library(varnholt::${name} INTERFACE IMPORTED)
  set_target_properties(varnholt::${name} PROPERTIES INTERFACE_LINK_LIBRARIES PkgConfig::varnholt_${name})
endfunction()

if(WIN32)
  varnholt_found_library(zlib zlib.h z zlib)
  varnholt_found_library(png png.h png16 png DEPENDS varnholt::zlib)
  varnholt_found_library(jpeg jpeglib.h jpeg)
  varnholt_found_library(tiff tiffio.h tiff DEPENDS varnholt::jpeg varnholt::zlib)
  varnholt_found_library(webp webp/decode.h webp)
  varnholt_found_library(webpdemux webp/demux.h webpdemux DEPENDS varnholt::webp)
  varnholt_found_library(webpmux webp/mux.h webpmux DEPENDS varnholt::webp)
else()
  find_package(PkgConfig REQUIRED)
  varnholt_pkg_library(zlib zlib)
  varnholt_pkg_library(png libpng)
  varnholt_pkg_library(jpeg libjpeg)
  varnholt_pkg_library(tiff libtiff-4)
  varnholt_pkg_library(webp libwebp)
  varnholt_pkg_library(webpdemux libwebpdemux)
  varnholt_pkg_library(webpmux libwebpmux)
endif()
varnholt_found_library(gif gif_lib.h gif)
