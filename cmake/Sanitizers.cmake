# Sanitizer and fuzzing builds, for every target of the tree (the server, its tests, the fuzz
# harnesses), so that a finding anywhere fails the run.
#
#   -DNIGHTCOMET_SANITIZE="address;undefined"   AddressSanitizer and UndefinedBehaviorSanitizer
#   -DNIGHTCOMET_SANITIZE=thread                 ThreadSanitizer
#   -DNIGHTCOMET_FUZZ=ON                         libFuzzer harnesses (clang); with any other
#                                                compiler the harnesses replay input files
#
# g++ and clang take any of these; MSVC takes "address" only. Without these options the build is
# the ordinary one on every compiler.

set(NIGHTCOMET_SANITIZE "" CACHE STRING
    "Sanitizers for every target: empty, \"address;undefined\" or \"thread\"")
option(NIGHTCOMET_FUZZ "Build the fuzz harnesses as libFuzzer binaries (needs clang)" OFF)

if(NIGHTCOMET_SANITIZE)
    if(CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
        list(JOIN NIGHTCOMET_SANITIZE "," sanitizers)
        # Every finding is fatal: UBSan does not carry on after a report.
        add_compile_options(-fsanitize=${sanitizers} -fno-sanitize-recover=all
            -fno-omit-frame-pointer)
        add_link_options(-fsanitize=${sanitizers})
    elseif(MSVC AND NIGHTCOMET_SANITIZE STREQUAL "address")
        add_compile_options(/fsanitize=address)
    else()
        message(FATAL_ERROR
            "NIGHTCOMET_SANITIZE=${NIGHTCOMET_SANITIZE} is not supported by ${CMAKE_CXX_COMPILER_ID}")
    endif()
endif()

# libFuzzer needs clang; the whole tree is then instrumented for coverage, so that the fuzzer
# sees its way through the server's modules and not only through the harness.
set(NIGHTCOMET_LIBFUZZER OFF)
if(NIGHTCOMET_FUZZ)
    if(CMAKE_CXX_COMPILER_ID MATCHES "Clang" AND NOT MSVC)
        set(NIGHTCOMET_LIBFUZZER ON)
        add_compile_options(-fsanitize=fuzzer-no-link)
        add_link_options(-fsanitize=fuzzer-no-link)
    else()
        message(WARNING "NIGHTCOMET_FUZZ needs clang; the harnesses are built as replayers")
    endif()
endif()
