# Cross-built tests run under Wine, in a prefix of this build's own. The CTest
# fixture "wine" creates the prefix and keeps one wineserver running for the
# whole test run.
set(QPK_WINE_PREFIX "${CMAKE_BINARY_DIR}/wine" CACHE PATH "Wine prefix of this build")
configure_file(${CMAKE_SOURCE_DIR}/tests/wine/wine-run.in ${CMAKE_BINARY_DIR}/wine-run @ONLY
               FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_BINARY_DIR}/wine-run)

# qpk_add_wine_fixture(): the set-up and clean-up tests of the "wine" fixture.
function(qpk_add_wine_fixture prefix)
  add_test(NAME wine.start COMMAND ${CMAKE_SOURCE_DIR}/tests/wine/prefix.sh start ${prefix})
  add_test(NAME wine.stop COMMAND ${CMAKE_SOURCE_DIR}/tests/wine/prefix.sh stop ${prefix})
  set_tests_properties(wine.start PROPERTIES FIXTURES_SETUP wine)
  set_tests_properties(wine.stop PROPERTIES FIXTURES_CLEANUP wine)
endfunction()
