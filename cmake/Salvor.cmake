# Build helpers shared by every folder.

# Adds every sub-folder of DIR that has a CMakeLists.txt (DIR itself included),
# sorted. Folders named in SALVOR_SKIP_DIRS (fixtures, fuzz) are left out.
function(salvor_add_tree dir)
    file(GLOB_RECURSE lists CONFIGURE_DEPENDS
        "${CMAKE_SOURCE_DIR}/${dir}/CMakeLists.txt")
    list(SORT lists)
    foreach(l IN LISTS lists)
        get_filename_component(d "${l}" DIRECTORY)
        file(RELATIVE_PATH rel "${CMAKE_SOURCE_DIR}" "${d}")
        if(rel MATCHES "^tests/fixtures" OR rel MATCHES "^tests/fuzz")
            continue()
        endif()
        # SALVOR_ONLY (a list of path prefixes) limits a partial build to some folders.
        if(SALVOR_ONLY)
            set(keep OFF)
            foreach(prefix IN LISTS SALVOR_ONLY)
                if(rel MATCHES "^${prefix}")
                    set(keep ON)
                endif()
            endforeach()
            if(NOT keep)
                continue()
            endif()
        endif()
        add_subdirectory("${d}" "${CMAKE_BINARY_DIR}/${rel}")
    endforeach()
endfunction()

# salvor_library(NAME SOURCES ... [DEPS ...] [QT])
# A static library whose includes are written from the repository root.
function(salvor_library name)
    cmake_parse_arguments(A "" "" "SOURCES;DEPS" ${ARGN})
    add_library(${name} STATIC ${A_SOURCES})
    target_include_directories(${name} PUBLIC "${CMAKE_SOURCE_DIR}")
    if(A_DEPS)
        target_link_libraries(${name} PUBLIC ${A_DEPS})
    endif()
endfunction()

# salvor_gtest(NAME [SERIAL] SOURCES ... [DEPS ...] [LABELS ...] [LOCKS ...])
# A GoogleTest executable; every TEST becomes a CTest test carrying LABELS.
# SERIAL: its tests run with no other test at the same time; LOCKS: with no
# other test holding one of the same locks.
function(salvor_gtest name)
    cmake_parse_arguments(A "SERIAL" "" "SOURCES;DEPS;LABELS;LOCKS" ${ARGN})
    set(serial "")
    if(A_SERIAL)
        set(serial RUN_SERIAL ON)
    endif()
    if(A_LOCKS)
        list(APPEND serial RESOURCE_LOCK "${A_LOCKS}")
    endif()
    add_executable(${name} ${A_SOURCES})
    target_link_libraries(${name} PRIVATE salvor_test_support GTest::gtest GTest::gmock salvor_test_main ${A_DEPS})
    target_include_directories(${name} PRIVATE "${CMAKE_SOURCE_DIR}")
    gtest_discover_tests(${name}
        DISCOVERY_TIMEOUT 60
        PROPERTIES LABELS "${A_LABELS}" ENVIRONMENT "QT_QPA_PLATFORM=offscreen" ${serial})
endfunction()

# salvor_qtest(NAME SOURCES ... [DEPS ...] [LABELS ...])
# A QtTest executable run by CTest offscreen.
function(salvor_qtest name)
    cmake_parse_arguments(A "" "" "SOURCES;DEPS;LABELS" ${ARGN})
    add_executable(${name} ${A_SOURCES})
    target_link_libraries(${name} PRIVATE Qt6::Test ${A_DEPS})
    target_include_directories(${name} PRIVATE "${CMAKE_SOURCE_DIR}")
    # Folders of its own, and a pass only when QtTest printed its totals.
    add_test(NAME ${name} COMMAND "${SALVOR_RUN_TO_END}" "${SALVOR_QTEST_CLOSING}" $<TARGET_FILE:${name}>)
    set_tests_properties(${name} PROPERTIES LABELS "${A_LABELS}"
        ENVIRONMENT "QT_QPA_PLATFORM=offscreen")
endfunction()

set(SALVOR_RUN_TO_END "${CMAKE_SOURCE_DIR}/tests/support/run-to-end.sh")
set(SALVOR_QTEST_CLOSING "^Totals: [0-9]+ passed, 0 failed")
# The closing line the window scripts print after their last step.
set(SALVOR_SCRIPT_CLOSING "^(end-to-end [a-z]+|xvfb [a-z]+ check) passed")
