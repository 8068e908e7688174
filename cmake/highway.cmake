# Highway for the kernel, as the interface target `veldra_hwy`: the system's
# (1.2 or newer) when find_package finds one, else release 1.3.0 built from
# its source archive and linked statically, so that nothing of it is needed
# at run time. VELDRA_BUNDLED_HIGHWAY=ON builds 1.3.0 even when the system
# has Highway; VELDRA_HIGHWAY_SOURCE (or the environment variable of that
# name) names the archive or an unpacked source tree, for offline builds.
set(VELDRA_HIGHWAY_VERSION 1.3.0)
set(VELDRA_HIGHWAY_URL
    "https://github.com/google/highway/archive/refs/tags/${VELDRA_HIGHWAY_VERSION}.tar.gz")
set(VELDRA_HIGHWAY_SHA256
    07b3c1ba2c1096878a85a31a5b9b3757427af963b1141ca904db2f9f4afe0bc2)

option(VELDRA_BUNDLED_HIGHWAY
       "Build Highway ${VELDRA_HIGHWAY_VERSION} from source and link it statically" OFF)
set(VELDRA_HIGHWAY_SOURCE "$ENV{VELDRA_HIGHWAY_SOURCE}"
    CACHE STRING "Highway ${VELDRA_HIGHWAY_VERSION} archive or source directory (default: download)")

add_library(veldra_hwy INTERFACE)
set(VELDRA_HIGHWAY_BUNDLED ${VELDRA_BUNDLED_HIGHWAY})
if(NOT VELDRA_HIGHWAY_BUNDLED)
  find_package(hwy 1.2 CONFIG QUIET)
  if(hwy_FOUND)
    message(STATUS "Highway ${hwy_VERSION} from the system (${hwy_DIR})")
    target_link_libraries(veldra_hwy INTERFACE hwy::hwy)
    # From 1.3 the pool needs the contrib library (affinity and VQSort).
    if(hwy_VERSION VERSION_GREATER_EQUAL 1.3)
      target_link_libraries(veldra_hwy INTERFACE hwy::hwy_contrib)
    endif()
    return()
  endif()
  message(STATUS "No Highway 1.2 or newer on the system: building "
                 "${VELDRA_HIGHWAY_VERSION} from source")
  set(VELDRA_HIGHWAY_BUNDLED ON)
endif()

include(FetchContent)
if(VELDRA_HIGHWAY_SOURCE)
  get_filename_component(source "${VELDRA_HIGHWAY_SOURCE}" ABSOLUTE)
  if(IS_DIRECTORY "${source}")
    # An unpacked tree has no checksum; its version is checked below.
    set(FETCHCONTENT_SOURCE_DIR_HIGHWAY "${source}")
  elseif(NOT EXISTS "${source}")
    message(FATAL_ERROR "VELDRA_HIGHWAY_SOURCE: no file or directory ${source}")
  endif()
else()
  # Downloaded here, in one bounded try: FetchContent's own download retries
  # for a minute and a half before it fails offline, without saying how to
  # build without the network. 60 s is 3.6 MB at 60 kB/s. FetchContent checks
  # the archive's SHA-256 below.
  set(source "${CMAKE_BINARY_DIR}/_deps/highway-${VELDRA_HIGHWAY_VERSION}.tar.gz")
  set(have_archive OFF)
  if(EXISTS "${source}")
    file(SHA256 "${source}" hash)
    if(hash STREQUAL VELDRA_HIGHWAY_SHA256)
      set(have_archive ON)
    endif()
  endif()
  if(NOT have_archive)
    message(STATUS "Downloading Highway ${VELDRA_HIGHWAY_VERSION} from ${VELDRA_HIGHWAY_URL}")
    file(DOWNLOAD "${VELDRA_HIGHWAY_URL}" "${source}.part" STATUS status
         TIMEOUT 60 INACTIVITY_TIMEOUT 10)
    list(GET status 0 code)
    if(NOT code EQUAL 0)
      file(REMOVE "${source}.part")
      list(GET status 1 reason)
      message(FATAL_ERROR
        "The download of Highway ${VELDRA_HIGHWAY_VERSION} from "
        "${VELDRA_HIGHWAY_URL} failed: ${reason}. To build without the "
        "network, set VELDRA_HIGHWAY_SOURCE (environment or CMake variable) "
        "to a copy of that release archive (or Debian's "
        "highway_${VELDRA_HIGHWAY_VERSION}.orig.tar.gz) or to its unpacked "
        "source tree, e.g. VELDRA_HIGHWAY_SOURCE=/path/to/"
        "${VELDRA_HIGHWAY_VERSION}.tar.gz pip install .")
    endif()
    file(RENAME "${source}.part" "${source}")
  endif()
endif()
message(STATUS "Highway ${VELDRA_HIGHWAY_VERSION} source: ${source}")
FetchContent_Declare(highway URL "${source}"
                     URL_HASH SHA256=${VELDRA_HIGHWAY_SHA256})

# Only the core library, static and not installed: the wheel carries veldra
# alone. Of the contrib library, only what the thread pool needs is built
# below, not the sort's many instantiations.
set(HWY_ENABLE_CONTRIB OFF CACHE INTERNAL "")
set(HWY_ENABLE_EXAMPLES OFF CACHE INTERNAL "")
set(HWY_ENABLE_INSTALL OFF CACHE INTERNAL "")
set(HWY_ENABLE_TESTS OFF CACHE INTERNAL "")
set(HWY_FORCE_STATIC_LIBS ON CACHE INTERNAL "")
FetchContent_MakeAvailable(highway)

file(STRINGS "${highway_SOURCE_DIR}/hwy/base.h" version_lines
     REGEX "^#define HWY_(MAJOR|MINOR|PATCH) [0-9]+")
string(REGEX REPLACE "[^;]*HWY_[A-Z]+ ([0-9]+)" "\\1" version "${version_lines}")
string(REPLACE ";" "." version "${version}")
if(NOT version VERSION_EQUAL VELDRA_HIGHWAY_VERSION)
  message(FATAL_ERROR "${highway_SOURCE_DIR} holds Highway ${version}, not "
                      "${VELDRA_HIGHWAY_VERSION}")
endif()

# Always built are a test library and a program that lists the targets; the
# kernel needs neither.
set_target_properties(hwy_test hwy_list_targets PROPERTIES EXCLUDE_FROM_ALL ON)
# The pool's header reads the CPU affinity from topology.cc, and its
# auto-tuner takes medians of timings with VQSort on doubles.
set(contrib "${highway_SOURCE_DIR}/hwy/contrib")
add_library(veldra_hwy_contrib STATIC
            "${contrib}/thread_pool/topology.cc" "${contrib}/sort/vqsort.cc"
            "${contrib}/sort/vqsort_f64a.cc")
target_link_libraries(veldra_hwy_contrib PUBLIC hwy)
foreach(target hwy veldra_hwy_contrib)
  # The wheel must run on any x86-64 processor, whatever the compiler's
  # default: Highway's own code is built for the same baseline as veldra's.
  if(CMAKE_SYSTEM_PROCESSOR MATCHES "x86_64|AMD64")
    target_compile_options(${target} PRIVATE -march=x86-64 -mtune=generic)
  endif()
  target_compile_options(${target} PRIVATE -ffp-contract=off)
endforeach()
# Warnings inside Highway's headers are not veldra's to fix (-Werror).
get_target_property(include_dirs hwy INTERFACE_INCLUDE_DIRECTORIES)
set_target_properties(hwy PROPERTIES INTERFACE_SYSTEM_INCLUDE_DIRECTORIES
                                     "${include_dirs}")
target_link_libraries(veldra_hwy INTERFACE hwy veldra_hwy_contrib)

# Highway's licence goes with the binary that contains it.
if(DEFINED SKBUILD_METADATA_DIR)
  install(FILES "${highway_SOURCE_DIR}/LICENSE"
          DESTINATION "${SKBUILD_METADATA_DIR}/licenses/highway")
  install(FILES "${highway_SOURCE_DIR}/LICENSE-BSD3"
          DESTINATION "${SKBUILD_METADATA_DIR}/licenses/highway")
endif()
