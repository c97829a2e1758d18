# Finds librtmp (rtmpdump's client library) and defines Librtmp::Librtmp.
# pkg-config first, a plain header/library search as the fallback.
find_package(PkgConfig QUIET)
if(PKG_CONFIG_FOUND)
  pkg_check_modules(PC_LIBRTMP QUIET librtmp)
endif()

find_path(LIBRTMP_INCLUDE_DIR NAMES librtmp/rtmp.h HINTS ${PC_LIBRTMP_INCLUDEDIR} ${PC_LIBRTMP_INCLUDE_DIRS})
find_library(LIBRTMP_LIBRARY NAMES rtmp HINTS ${PC_LIBRTMP_LIBDIR} ${PC_LIBRTMP_LIBRARY_DIRS})
set(LIBRTMP_VERSION ${PC_LIBRTMP_VERSION})

include(FindPackageHandleStandardArgs)
find_package_handle_standard_args(Librtmp
  REQUIRED_VARS LIBRTMP_LIBRARY LIBRTMP_INCLUDE_DIR
  VERSION_VAR LIBRTMP_VERSION)

if(Librtmp_FOUND AND NOT TARGET Librtmp::Librtmp)
  add_library(Librtmp::Librtmp UNKNOWN IMPORTED)
  set_target_properties(Librtmp::Librtmp PROPERTIES
    IMPORTED_LOCATION "${LIBRTMP_LIBRARY}"
    INTERFACE_INCLUDE_DIRECTORIES "${LIBRTMP_INCLUDE_DIR}")
endif()
mark_as_advanced(LIBRTMP_INCLUDE_DIR LIBRTMP_LIBRARY)
