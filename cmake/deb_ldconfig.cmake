# Run by cpack after it packed (CPACK_POST_BUILD_SCRIPTS). The library packages run ldconfig
# through dpkg's trigger, as Debian's policy asks; CPack gives every package with a library
# in the linker's directories a postinst and a postrm that call ldconfig as well, and offers
# no switch against them. They are taken out of the packages that have the trigger here, so
# that there is one way.
foreach(deb IN LISTS CPACK_PACKAGE_FILES)
  if(NOT deb MATCHES "\\.deb$")
    continue()
  endif()
  set(tree ${deb}.tree)
  file(REMOVE_RECURSE ${tree})
  execute_process(COMMAND dpkg-deb --raw-extract ${deb} ${tree} COMMAND_ERROR_IS_FATAL ANY)
  set(removed OFF)
  if(EXISTS ${tree}/DEBIAN/triggers)
    file(STRINGS ${tree}/DEBIAN/triggers triggers REGEX "ldconfig")
    foreach(script postinst postrm)
      if(triggers AND EXISTS ${tree}/DEBIAN/${script})
        file(READ ${tree}/DEBIAN/${script} text)
        if(text MATCHES "ldconfig")
          file(REMOVE ${tree}/DEBIAN/${script})
          set(removed ON)
        endif()
      endif()
    endforeach()
  endif()
  if(removed)
    execute_process(COMMAND dpkg-deb --root-owner-group -Zgzip --build ${tree} ${deb}
      OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
  endif()
  file(REMOVE_RECURSE ${tree})
endforeach()
