# The installable kit: one library a host links for positions (Marvisto::Marvisto), the
# simulated world as a clearly separate one (Marvisto::World), the public headers, the
# programs, a CMake package, a pkg-config file and a Debian package.
#
# The kit's libraries are made from the objects the module libraries already compiled, so
# installing costs two links, not a second build. Shared unless BUILD_SHARED_LIBS is OFF.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)
include(${PROJECT_SOURCE_DIR}/cmake/public_headers.cmake)

if(NOT TARGET mv_sdk OR NOT TARGET world)
  return()
endif()

if(DEFINED BUILD_SHARED_LIBS AND NOT BUILD_SHARED_LIBS)
  set(MARVISTO_LIBRARY_KIND STATIC)
  set(MARVISTO_SHARED OFF)
else()
  set(MARVISTO_LIBRARY_KIND SHARED)
  set(MARVISTO_SHARED ON)
endif()

# The Debian libraries the kit links, under one name here and in the package config.
set(MARVISTO_PKG_MODULES libzip tinyxml2 libplist-2.0 cairo libpng libturbojpeg libcurl)
pkg_check_modules(MARVISTO_DEPS REQUIRED IMPORTED_TARGET ${MARVISTO_PKG_MODULES})
find_package(OpenSSL 3 REQUIRED)
find_package(nlohmann_json REQUIRED)

# The project's static libraries that `roots` stand on, themselves included, found through
# their links so that a module or helper library added later joins without an edit here.
function(marvisto_static_closure out)
  set(seen)
  set(found)
  set(queue ${ARGN})
  while(queue)
    list(POP_FRONT queue t)
    string(REGEX REPLACE "^\\$<LINK_ONLY:(.*)>$" "\\1" t "${t}")
    if(NOT TARGET "${t}" OR t IN_LIST seen)
      continue()
    endif()
    list(APPEND seen ${t})
    get_target_property(imported ${t} IMPORTED)
    if(imported)
      continue()
    endif()
    get_target_property(kind ${t} TYPE)
    if(kind STREQUAL "STATIC_LIBRARY")
      list(APPEND found ${t})
    endif()
    get_target_property(links ${t} INTERFACE_LINK_LIBRARIES)
    if(links)
      list(APPEND queue ${links})
    endif()
  endwhile()
  set(${out} ${found} PARENT_SCOPE)
endfunction()

marvisto_static_closure(kit_modules mv_sdk)
set(kit_objects)
foreach(m ${kit_modules})
  list(APPEND kit_objects $<TARGET_OBJECTS:${m}>)
endforeach()
add_library(marvisto ${MARVISTO_LIBRARY_KIND} ${kit_objects})
set_target_properties(marvisto PROPERTIES OUTPUT_NAME marvisto EXPORT_NAME Marvisto
  VERSION ${PROJECT_VERSION} SOVERSION ${PROJECT_VERSION_MAJOR})
# The public headers include nlohmann/json.hpp; everything else is the library's own business.
target_include_directories(marvisto INTERFACE
  $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}/marvisto>)
target_link_libraries(marvisto PUBLIC nlohmann_json::nlohmann_json Threads::Threads
  PRIVATE PkgConfig::MARVISTO_DEPS OpenSSL::SSL OpenSSL::Crypto ZLIB::ZLIB)

# The simulated world with what it stands on beyond the kit (the venue generator, the log
# writer, the manual clock), over the kit.
marvisto_static_closure(world_modules world mv_platform_testing)
set(world_objects)
foreach(m ${world_modules})
  if(NOT m IN_LIST kit_modules)
    list(APPEND world_objects $<TARGET_OBJECTS:${m}>)
  endif()
endforeach()
add_library(marvisto_world ${MARVISTO_LIBRARY_KIND} ${world_objects})
set_target_properties(marvisto_world PROPERTIES OUTPUT_NAME marvisto-world EXPORT_NAME World
  VERSION ${PROJECT_VERSION} SOVERSION ${PROJECT_VERSION_MAJOR})
target_link_libraries(marvisto_world PUBLIC marvisto
  PRIVATE PkgConfig::MARVISTO_DEPS ZLIB::ZLIB)
# A symbol the objects above miss fails the kit's own link, not the host's. (The sanitizers'
# runtimes leave their symbols to the program.)
if(MARVISTO_SHARED AND NOT MARVISTO_SANITIZE AND NOT MARVISTO_TSAN)
  target_link_options(marvisto PRIVATE LINKER:--no-undefined)
  target_link_options(marvisto_world PRIVATE LINKER:--no-undefined)
endif()

foreach(h ${MARVISTO_PUBLIC_HEADERS})
  marvisto_header_destination(${h} rel)
  get_filename_component(dir ${rel} DIRECTORY)
  install(FILES ${PROJECT_SOURCE_DIR}/${h} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/marvisto/${dir}
    COMPONENT Development)
endforeach()
foreach(h ${MARVISTO_WORLD_HEADERS})
  marvisto_header_destination(${h} rel)
  get_filename_component(dir ${rel} DIRECTORY)
  install(FILES ${PROJECT_SOURCE_DIR}/${h} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/marvisto/${dir}
    COMPONENT Development)
endforeach()

install(TARGETS marvisto EXPORT MarvistoTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT Runtime NAMELINK_COMPONENT Development
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT Development)
install(TARGETS marvisto_world EXPORT MarvistoWorldTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT Runtime NAMELINK_COMPONENT Development
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT Development)

# The installed headers, one a line, for the standalone compile check (scripts/check-kit.sh),
# and the API reference over the same list ("docs" target).
set(installed_headers)
set(MARVISTO_DOXYGEN_INPUT)
foreach(h ${MARVISTO_PUBLIC_HEADERS} ${MARVISTO_WORLD_HEADERS})
  marvisto_header_destination(${h} rel)
  string(APPEND installed_headers "${rel}\n")
  string(APPEND MARVISTO_DOXYGEN_INPUT " ${PROJECT_SOURCE_DIR}/${h}")
endforeach()
file(WRITE ${PROJECT_BINARY_DIR}/marvisto_public_headers.txt "${installed_headers}")
find_program(DOXYGEN_PROGRAM doxygen)
if(DOXYGEN_PROGRAM)
  configure_file(${PROJECT_SOURCE_DIR}/docs/Doxyfile.in ${PROJECT_BINARY_DIR}/docs/Doxyfile @ONLY)
  add_custom_target(docs COMMAND ${DOXYGEN_PROGRAM} ${PROJECT_BINARY_DIR}/docs/Doxyfile
    WORKING_DIRECTORY ${PROJECT_BINARY_DIR}/docs
    COMMENT "API reference from the public headers" VERBATIM)
endif()

# The programs, each linked with the static module libraries: they need no library path.
foreach(exe venue-gen replay marvisto-demo world-demo kit-demo marvisto-content-server accuracy-eval)
  if(TARGET ${exe})
    install(TARGETS ${exe} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT Runtime)
  endif()
endforeach()

set(config_dir ${CMAKE_INSTALL_LIBDIR}/cmake/Marvisto)
install(EXPORT MarvistoTargets NAMESPACE Marvisto:: DESTINATION ${config_dir}
  COMPONENT Development)
install(EXPORT MarvistoWorldTargets NAMESPACE Marvisto:: DESTINATION ${config_dir}
  COMPONENT Development)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/MarvistoConfig.cmake.in
  ${PROJECT_BINARY_DIR}/MarvistoConfig.cmake INSTALL_DESTINATION ${config_dir})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/MarvistoConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/MarvistoConfig.cmake ${PROJECT_BINARY_DIR}/MarvistoConfigVersion.cmake
  DESTINATION ${config_dir} COMPONENT Development)

# pkg-config: the prefix is found from the file's own place, so the kit may be installed
# anywhere (a temporary prefix, /usr from the Debian package).
file(RELATIVE_PATH MARVISTO_PC_TO_PREFIX ${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig ${CMAKE_INSTALL_PREFIX})
string(REGEX REPLACE "/$" "" MARVISTO_PC_TO_PREFIX "${MARVISTO_PC_TO_PREFIX}")
if(MARVISTO_SHARED)
  # The shared library carries its dependencies: a host needs none of their -dev packages.
  set(MARVISTO_PC_REQUIRES "nlohmann_json")
  set(MARVISTO_PC_LIBS "")
else()
  # A static kit needs its dependencies in the host's link. They are plain requirements, not
  # private ones: Debian ships no static libraries for some of libcurl's, so a host links the
  # kit statically and the rest as shared libraries.
  string(REPLACE ";" " " modules "${MARVISTO_PKG_MODULES}")
  set(MARVISTO_PC_REQUIRES "nlohmann_json ${modules} openssl zlib")
  set(MARVISTO_PC_LIBS "-pthread")
endif()
configure_file(${PROJECT_SOURCE_DIR}/cmake/marvisto.pc.in ${PROJECT_BINARY_DIR}/marvisto.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/marvisto.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
  COMPONENT Development)

# The Debian package: the whole kit in one package, depending on the Debian packages the kit
# links (found from the libraries by dpkg-shlibdeps) and on those a host needs to compile
# against the public headers.
set(CPACK_PACKAGE_NAME marvisto)
set(CPACK_PACKAGE_VENDOR "Marvisto")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Indoor positioning and navigation kit for C++20 applications")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_GENERATOR DEB)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Marvisto developers <marvisto@localhost>")
set(CPACK_DEBIAN_PACKAGE_SECTION libdevel)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "nlohmann-json3-dev, pkg-config")
if(NOT MARVISTO_SHARED)
  # A static kit hands its dependencies to the host's link.
  string(APPEND CPACK_DEBIAN_PACKAGE_DEPENDS ", libzip-dev, libtinyxml2-dev, libplist-dev, libcairo2-dev,"
    " libpng-dev, libturbojpeg0-dev, libcurl4-openssl-dev, libssl-dev, zlib1g-dev")
endif()
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "cmake, g++ | clang")
include(CPack)
