# The shipped resources (resources/ at the repository root) beside each
# executable that reads them, as <executable folder>/resources, and under
# share/salvor when installed. platform/Paths.cpp finds them there.
include_guard(GLOBAL)

# salvor_copy_resources(TARGET)
# Copies the resources next to TARGET's file. One copy per output folder, made
# by one custom command whose stamp depends on every resource file: targets
# sharing a folder never copy into it at the same time, an edited string table
# or image reaches the build tree without relinking, and an unchanged tree
# copies nothing (a deleted copy is made again).
function(salvor_copy_resources target)
    get_target_property(dir ${target} RUNTIME_OUTPUT_DIRECTORY)
    if(NOT dir)
        set(dir "${CMAKE_CURRENT_BINARY_DIR}")
    endif()
    file(RELATIVE_PATH rel "${CMAKE_BINARY_DIR}" "${dir}")
    string(MAKE_C_IDENTIFIER "resources_${rel}" copier)
    if(NOT TARGET ${copier})
        file(GLOB_RECURSE files CONFIGURE_DEPENDS "${CMAKE_SOURCE_DIR}/resources/*")
        set(stamp "${dir}/resources.stamp")
        set(copies "")
        foreach(f IN LISTS files)
            file(RELATIVE_PATH r "${CMAKE_SOURCE_DIR}" "${f}")
            list(APPEND copies "${dir}/${r}")
        endforeach()
        add_custom_command(OUTPUT "${stamp}" BYPRODUCTS ${copies}
            COMMAND ${CMAKE_COMMAND} -E copy_directory "${CMAKE_SOURCE_DIR}/resources" "${dir}/resources"
            COMMAND ${CMAKE_COMMAND} -E touch "${stamp}"
            DEPENDS ${files}
            COMMENT "Copying resources to ${rel}"
            VERBATIM)
        add_custom_target(${copier} DEPENDS "${stamp}")
    endif()
    add_dependencies(${target} ${copier})
endfunction()

install(DIRECTORY "${CMAKE_SOURCE_DIR}/resources/" DESTINATION share/salvor)
