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
set(MARVISTO_PKG_MODULES libzip tinyxml2 libhwy libplist-2.0 cairo libpng libturbojpeg libcurl)
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
# The headers need C++20; a host that asks for a later standard keeps it.
target_compile_features(marvisto INTERFACE cxx_std_20)
target_link_libraries(marvisto PUBLIC nlohmann_json::nlohmann_json Threads::Threads
  PRIVATE PkgConfig::MARVISTO_DEPS OpenSSL::SSL OpenSSL::Crypto ZLIB::ZLIB)

# The simulated world with what it stands on beyond the kit (the venue generator), over the
# kit, whose one platform it drives through the simulator interface (platform/simulator.h).
marvisto_static_closure(world_modules world)
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

# Debian's split: the shared libraries each in a package of their own, everything a host
# compiles against in the -dev package, the programs apart so that their users get no
# development packages.
install(TARGETS marvisto EXPORT MarvistoTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT Libraries NAMELINK_COMPONENT Development
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT Development)
install(TARGETS marvisto_world EXPORT MarvistoWorldTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT WorldLibraries
  NAMELINK_COMPONENT Development
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
# Each gets a manual page made from its --help text when help2man is there.
set(MARVISTO_PROGRAMS
  marvisto-venue-gen "write the map archive of a synthetic venue"
  marvisto-replay "position a measurement log on a map archive and score it"
  marvisto-demo "position a generated venue's walk with the engine alone"
  marvisto-world-demo "drive the kit through the simulated world's phone"
  marvisto-kit-demo "drive the whole kit through its facade on a simulated world"
  marvisto-content-server "serve venues to the kit on the loopback interface"
  marvisto-accuracy-eval "score the positioning methods on generated venues and recordings")
find_program(HELP2MAN_PROGRAM help2man)
set(manpages)
list(LENGTH MARVISTO_PROGRAMS n)
math(EXPR last "${n} - 1")
foreach(i RANGE 0 ${last} 2)
  math(EXPR j "${i} + 1")
  list(GET MARVISTO_PROGRAMS ${i} exe)
  list(GET MARVISTO_PROGRAMS ${j} what)
  if(NOT TARGET ${exe})
    continue()
  endif()
  install(TARGETS ${exe} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT Programs)
  if(HELP2MAN_PROGRAM)
    set(page ${PROJECT_BINARY_DIR}/man/${exe}.1.gz)
    add_custom_command(OUTPUT ${page}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/man
      COMMAND sh -c "\"$0\" --no-info --no-discard-stderr --name=\"$1\" \"$2\" | gzip -9 -n > \"$3\""
        ${HELP2MAN_PROGRAM} ${what} $<TARGET_FILE:${exe}> ${page}
      DEPENDS ${exe} VERBATIM)
    list(APPEND manpages ${page})
    install(FILES ${page} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT Programs)
  endif()
endforeach()
if(manpages)
  add_custom_target(manpages ALL DEPENDS ${manpages})
endif()

set(config_dir ${CMAKE_INSTALL_LIBDIR}/cmake/Marvisto)
install(EXPORT MarvistoTargets NAMESPACE Marvisto:: DESTINATION ${config_dir}
  COMPONENT Development)
install(EXPORT MarvistoWorldTargets NAMESPACE Marvisto:: DESTINATION ${config_dir}
  COMPONENT Development)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/MarvistoConfig.cmake.in
  ${PROJECT_BINARY_DIR}/MarvistoConfig.cmake INSTALL_DESTINATION ${config_dir}
  PATH_VARS CMAKE_INSTALL_BINDIR)
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
set(MARVISTO_PC_NAME Marvisto)
set(MARVISTO_PC_DESCRIPTION "Indoor positioning and navigation kit for C++20 applications")
set(MARVISTO_PC_LIB marvisto)
configure_file(${PROJECT_SOURCE_DIR}/cmake/marvisto.pc.in ${PROJECT_BINARY_DIR}/marvisto.pc @ONLY)
# The simulated world over the kit, for hosts that try the kit without a phone.
set(MARVISTO_PC_NAME "Marvisto World")
set(MARVISTO_PC_DESCRIPTION "Simulated venue and walk for trying the Marvisto kit without a phone")
set(MARVISTO_PC_LIB marvisto-world)
set(MARVISTO_PC_REQUIRES "marvisto = ${PROJECT_VERSION}")
configure_file(${PROJECT_SOURCE_DIR}/cmake/marvisto.pc.in ${PROJECT_BINARY_DIR}/marvisto-world.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/marvisto.pc ${PROJECT_BINARY_DIR}/marvisto-world.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT Development)

# Each package carries its copyright file and the changelog, compressed as Debian wants it.
set(changelog_gz ${PROJECT_BINARY_DIR}/changelog.gz)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/docs/changelog)
execute_process(COMMAND gzip -9 -n -c ${PROJECT_SOURCE_DIR}/docs/changelog
  OUTPUT_FILE ${changelog_gz} RESULT_VARIABLE gzip_failed)
if(gzip_failed)
  message(FATAL_ERROR "cannot compress docs/changelog")
endif()
set(MARVISTO_DEB_PACKAGES Libraries libmarvisto1 WorldLibraries libmarvisto-world1
  Development libmarvisto-dev Programs marvisto)
set(MARVISTO_DEB_SECTIONS libs libs libdevel science)
set(components)
foreach(i RANGE 0 6 2)
  math(EXPR j "${i} + 1")
  math(EXPR k "${i} / 2")
  list(GET MARVISTO_DEB_PACKAGES ${i} component)
  list(GET MARVISTO_DEB_PACKAGES ${j} package)
  list(GET MARVISTO_DEB_SECTIONS ${k} section)
  string(TOUPPER ${component} upper)
  set(CPACK_DEBIAN_${upper}_PACKAGE_NAME ${package})
  set(CPACK_DEBIAN_${upper}_PACKAGE_SECTION ${section})
  install(FILES ${PROJECT_SOURCE_DIR}/docs/copyright ${changelog_gz}
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package} COMPONENT ${component})
  list(APPEND components ${component})
endforeach()

set(CPACK_PACKAGE_NAME marvisto)
set(CPACK_PACKAGE_VENDOR "Marvisto")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL ${components})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Marvisto developers <developers@marvisto.example>")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
# Where the shlibs file is read instead of the symbols file, it too asks for this version or a
# later one, not exactly this one.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
# What CPack cannot write into the control parts is written after packing
# (cmake/deb_control.cmake): the packages whose files all lie under the architecture's library
# directory or are the same on every architecture say "Multi-Arch: same", so that a host's
# packages for several architectures can be built on one machine.
set(CPACK_POST_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/deb_control.cmake)
set(CPACK_MARVISTO_MULTIARCH_SAME libmarvisto1 libmarvisto-world1 libmarvisto-dev)
if(MARVISTO_SHARED)
  # The library packages tell ldconfig through a trigger, as Debian's policy asks; CPack's
  # own postinst and postrm calling it are taken out after packing (cmake/deb_control.cmake).
  file(WRITE ${PROJECT_BINARY_DIR}/deb/triggers "activate-noawait ldconfig\n")
  # Each library package carries a symbols file, so a host package depends on the version
  # that introduced the symbols it uses rather than on this exact one. The symbols kept in
  # debian/ are checked against the library's exported set when cpack runs
  # (cmake/deb_symbols.cmake, which writes the control file named here).
  set(CPACK_MARVISTO_SYMBOLS)
  set(library_components Libraries WorldLibraries)
  set(library_targets marvisto marvisto_world)
  foreach(component lib IN ZIP_LISTS library_components library_targets)
    string(TOUPPER ${component} upper)
    set(package ${CPACK_DEBIAN_${upper}_PACKAGE_NAME})
    set(CPACK_DEBIAN_${upper}_PACKAGE_CONTROL_EXTRA ${PROJECT_BINARY_DIR}/deb/triggers
      ${PROJECT_BINARY_DIR}/deb/${package}/symbols)
    file(GENERATE OUTPUT ${PROJECT_BINARY_DIR}/deb/${package}/library CONTENT "$<TARGET_FILE:${lib}>")
    list(APPEND CPACK_MARVISTO_SYMBOLS ${package})
  endforeach()
  set(CPACK_MARVISTO_DEB_DIR ${PROJECT_BINARY_DIR}/deb)
  set(CPACK_MARVISTO_SYMBOLS_DIR ${PROJECT_SOURCE_DIR}/debian)
  set(CPACK_PRE_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/deb_symbols.cmake)
endif()
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
# Each description's first line is its package's synopsis. (A description ends with a line
# break: CPack strips the last line's leading blanks.)
set(CPACK_DEBIAN_LIBRARIES_DESCRIPTION [=[indoor positioning and navigation kit - shared library
Marvisto positions a phone inside a building from Bluetooth beacon readings
and motion sensor samples, on the map archive of the venue.

This package holds the library a host application links: it downloads
location lists and map archives over HTTP and HTTPS, gives the floor, the
position, the heading and the accuracy radius every 100 ms, reports the
zones entered and left and the routes to targets, and queues telemetry for
the service.
]=])
set(CPACK_DEBIAN_WORLDLIBRARIES_DESCRIPTION [=[indoor positioning and navigation kit - simulated world
A generated two-floor venue and a person walking through it with a phone,
whose beacon advertisements and motion sensor samples reach the Marvisto
library through the same services a real phone feeds. It lets a host
application try the kit without a phone or a venue; an application on real
hardware does not need it.
]=])
set(CPACK_DEBIAN_DEVELOPMENT_DESCRIPTION [=[indoor positioning and navigation kit - development files
The public headers of the Marvisto library (the facade, its models and error
codes, the run loop a host pumps) and of its simulated world, the CMake
package (find_package(Marvisto)) and the pkg-config files marvisto.pc and
marvisto-world.pc, for building host applications against the kit.
]=])
set(CPACK_DEBIAN_PROGRAMS_DESCRIPTION [=[indoor positioning and navigation kit - programs
Command line programs around the Marvisto kit:
 marvisto-content-server   serves venues to the kit on the loopback interface
 marvisto-venue-gen        writes the map archive of a synthetic venue
 marvisto-replay           positions a measurement log on a map archive
 marvisto-accuracy-eval    scores the positioning on venues and recordings
 marvisto-demo, marvisto-world-demo, marvisto-kit-demo   three demos
]=])
set(CPACK_COMPONENT_DEVELOPMENT_DEPENDS Libraries WorldLibraries)
# The world library links the kit's, which dpkg-shlibdeps finds in the build tree; the
# dependency on its package comes from the line below.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR})
set(CPACK_COMPONENT_WORLDLIBRARIES_DEPENDS Libraries)
# The public headers' JSON types carry the JSON library's version in their ABI tag
# (json_abi_v3_11_2 for 3.11.2), and so do the library's symbols that take them: a host builds
# against the kit only with the very version it was built with, whatever Debian revision.
math(EXPR json_next_patch "${nlohmann_json_VERSION_PATCH} + 1")
set(json_next ${nlohmann_json_VERSION_MAJOR}.${nlohmann_json_VERSION_MINOR}.${json_next_patch})
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS
  "nlohmann-json3-dev (>= ${nlohmann_json_VERSION}), nlohmann-json3-dev (<< ${json_next}~)")
if(NOT MARVISTO_SHARED)
  # A static kit hands its dependencies to the host's link.
  string(APPEND CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS ", libzip-dev, libtinyxml2-dev, libplist-dev,"
    " libcairo2-dev, libpng-dev, libturbojpeg0-dev, libcurl4-openssl-dev, libssl-dev, zlib1g-dev, libhwy-dev")
endif()
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SUGGESTS "cmake, pkg-config, g++ | clang")
include(CPack)
