# Run by cpack after it packed (CPACK_POST_BUILD_SCRIPTS): writes into the packages' control
# parts what CPack cannot, and repacks those it changed.
#  - The library packages run ldconfig through dpkg's trigger, as Debian's policy asks; CPack
#    gives every package with a library in the linker's directories a postinst and a postrm
#    that call ldconfig as well, and offers no switch against them. They are taken out of the
#    packages that have the trigger, so that there is one way.
#  - The packages named in CPACK_MARVISTO_MULTIARCH_SAME say "Multi-Arch: same": everything
#    they hold is either under the architecture's own library directory or the same on every
#    architecture (headers, copyright, changelog), so that the packages of several
#    architectures install side by side. scripts/package.sh checks their file lists.
foreach(deb IN LISTS CPACK_PACKAGE_FILES)
  if(NOT deb MATCHES "\\.deb$")
    continue()
  endif()
  set(tree ${deb}.tree)
  file(REMOVE_RECURSE ${tree})
  execute_process(COMMAND dpkg-deb --raw-extract ${deb} ${tree} COMMAND_ERROR_IS_FATAL ANY)
  set(changed OFF)
  if(EXISTS ${tree}/DEBIAN/triggers)
    file(STRINGS ${tree}/DEBIAN/triggers triggers REGEX "ldconfig")
    foreach(script postinst postrm)
      if(triggers AND EXISTS ${tree}/DEBIAN/${script})
        file(READ ${tree}/DEBIAN/${script} text)
        if(text MATCHES "ldconfig")
          file(REMOVE ${tree}/DEBIAN/${script})
          set(changed ON)
        endif()
      endif()
    endforeach()
  endif()
  file(READ ${tree}/DEBIAN/control control)
  string(REGEX MATCH "(^|\n)Package: ([^\n]*)" _ "${control}")
  if(CMAKE_MATCH_2 IN_LIST CPACK_MARVISTO_MULTIARCH_SAME AND NOT control MATCHES "(^|\n)Multi-Arch:")
    string(REGEX REPLACE "(^|\n)(Architecture: [^\n]*\n)" "\\1\\2Multi-Arch: same\n" control
      "${control}")
    file(WRITE ${tree}/DEBIAN/control "${control}")
    set(changed ON)
  endif()
  if(changed)
    execute_process(COMMAND dpkg-deb --root-owner-group -Zgzip --build ${tree} ${deb}
      OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
  endif()
  file(REMOVE_RECURSE ${tree})
endforeach()
