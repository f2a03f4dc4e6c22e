# Runs end-to-end suites a second time, against the Windows server under Wine.
#
# In a Linux build configured with
#   -DNIGHTCOMET_WINDOWS_SERVER=<path of a cross-built nightcomet-server.exe>
# (see mingw-w64-x86_64.cmake), nightcomet_add_wine_tests(<gtest target>) registers the target's
# tests once more, named "wine.<suite>.<test>", with
#   NIGHTCOMET_SERVER=<the .exe>, NIGHTCOMET_LAUNCHER=<tests/e2e/wine-launcher.sh>,
#   NIGHTCOMET_UNDER_WINE=1 (tests skip, with their reason, what Wine cannot show), WINEPREFIX.
# A fixture readies the Wine prefix (wineprefix/ in the build folder) before the first of them
# and stops its wineserver after the last; all of them carry the label "wine". Without
# NIGHTCOMET_WINDOWS_SERVER nothing is registered.

set(NIGHTCOMET_WINDOWS_SERVER "" CACHE FILEPATH
    "A cross-built nightcomet-server.exe to run the end-to-end tests against under Wine")

if(NIGHTCOMET_WINDOWS_SERVER)
    find_program(NIGHTCOMET_WINE NAMES wine64 PATHS /usr/lib/wine REQUIRED
        DOC "The Wine loader (Debian's wine64)")
    find_program(NIGHTCOMET_WINESERVER NAMES wineserver64 wineserver PATHS /usr/lib/wine REQUIRED
        DOC "The Wine server of that loader")
    set(NIGHTCOMET_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix)
    set(NIGHTCOMET_WINE_LAUNCHER ${PROJECT_SOURCE_DIR}/tests/e2e/wine-launcher.sh)
    set(NIGHTCOMET_WINE_ENVIRONMENT
        "WINEPREFIX=${NIGHTCOMET_WINEPREFIX}"
        "WINE=${NIGHTCOMET_WINE}"
        "WINESERVER=${NIGHTCOMET_WINESERVER}")

    # The prefix is made ready before the first test and its wineserver stopped after the last.
    add_test(NAME wine.prefix.Warm COMMAND ${NIGHTCOMET_WINE_LAUNCHER} --warm)
    add_test(NAME wine.prefix.Stop COMMAND ${NIGHTCOMET_WINE_LAUNCHER} --stop)
    set_tests_properties(wine.prefix.Warm PROPERTIES FIXTURES_SETUP nightcomet_wine TIMEOUT 300)
    set_tests_properties(wine.prefix.Stop PROPERTIES FIXTURES_CLEANUP nightcomet_wine)
    set_tests_properties(wine.prefix.Warm wine.prefix.Stop PROPERTIES
        ENVIRONMENT "${NIGHTCOMET_WINE_ENVIRONMENT}" LABELS wine)
endif()

function(nightcomet_add_wine_tests target)
    if(NOT NIGHTCOMET_WINDOWS_SERVER)
        return()
    endif()
    set(list_variable ${target}_WINE_TESTS)
    gtest_discover_tests(${target} TEST_PREFIX "wine." TEST_LIST ${list_variable}
        DISCOVERY_TIMEOUT 30)
    # gtest_discover_tests cannot pass a property whose value is a list (the environment), so
    # the properties are set by a file that CTest reads after the discovered tests.
    set(environment
        "NIGHTCOMET_SERVER=${NIGHTCOMET_WINDOWS_SERVER}"
        "NIGHTCOMET_LAUNCHER=${NIGHTCOMET_WINE_LAUNCHER}"
        "NIGHTCOMET_UNDER_WINE=1"
        ${NIGHTCOMET_WINE_ENVIRONMENT})
    set(properties_file ${CMAKE_CURRENT_BINARY_DIR}/${target}_wine_properties.cmake)
    file(CONFIGURE OUTPUT ${properties_file} CONTENT [=[
if(@list_variable@)
    set_tests_properties(${@list_variable@} PROPERTIES
        ENVIRONMENT "@environment@" FIXTURES_REQUIRED nightcomet_wine LABELS wine
        TIMEOUT 300)
endif()
]=] @ONLY)
    set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${properties_file})
endfunction()
