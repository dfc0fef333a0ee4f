# Run by cpack before it packs (CPACK_PRE_BUILD_SCRIPTS): for each library package, checks
# the library's exported symbols against the symbols file kept in debian/ and writes the
# package's symbols control file from it. A symbol exported but not listed, or listed but no
# longer exported, stops the packaging with the difference; `scripts/package.sh
# --update-symbols` rewrites the files in debian/ after a deliberate change.
find_program(DPKG_GENSYMBOLS dpkg-gensymbols)
if(NOT DPKG_GENSYMBOLS)
  message(FATAL_ERROR "dpkg-gensymbols (dpkg-dev) is needed to write the symbols files")
endif()
foreach(package IN LISTS CPACK_MARVISTO_SYMBOLS)
  set(kept ${CPACK_MARVISTO_SYMBOLS_DIR}/${package}.symbols)
  file(READ ${CPACK_MARVISTO_DEB_DIR}/${package}/library library)
  # dpkg-gensymbols forgives a symbol missing from a library when the symbol came with the
  # version being built, taking it for one that never shipped; checked as a later version,
  # every listed symbol must be there.
  execute_process(COMMAND ${DPKG_GENSYMBOLS} -c4 -p${package} -v${CPACK_PACKAGE_VERSION}+check
      -e${library} -I${kept} -O/dev/null
    RESULT_VARIABLE failed OUTPUT_VARIABLE diff ERROR_VARIABLE why)
  if(failed)
    # dpkg-gensymbols' diff as it wrote it: a "+" line is exported but not listed, a
    # "#MISSING" line listed but no longer exported.
    message("${why}${diff}")
    message(FATAL_ERROR "${library} does not export what ${kept} lists")
  endif()
  execute_process(COMMAND ${DPKG_GENSYMBOLS} -q -p${package} -v${CPACK_PACKAGE_VERSION}
      -e${library} -I${kept} -O${CPACK_MARVISTO_DEB_DIR}/${package}/symbols
    RESULT_VARIABLE failed ERROR_VARIABLE why)
  if(failed)
    message(FATAL_ERROR "cannot write the symbols control file of ${package}: ${why}")
  endif()
endforeach()
