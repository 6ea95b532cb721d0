# Settings every target of ours takes: C++20, warnings, sanitizers. Targets opt in by linking
# vocari_options, so third-party code keeps its own flags.
add_library(vocari_options INTERFACE)
target_compile_features(vocari_options INTERFACE cxx_std_20)
target_compile_options(vocari_options INTERFACE
    -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wno-sign-conversion -Wnon-virtual-dtor
    -Wold-style-cast -Wimplicit-fallthrough
    $<$<BOOL:${VOCARI_WERROR}>:-Werror>)

if(VOCARI_SANITIZE)
    # Sanitizers apply to the whole build so that every object agrees on instrumentation.
    add_compile_options(-fsanitize=${VOCARI_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=all)
    add_link_options(-fsanitize=${VOCARI_SANITIZE})
endif()

if(VOCARI_FUZZ)
    if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
        message(FATAL_ERROR "the fuzz preset needs clang")
    endif()
    add_compile_options(-fsanitize=fuzzer-no-link)
endif()

# Every fuzz target registers here so the fuzz preset can build them all at once.
add_custom_target(fuzz_targets)
