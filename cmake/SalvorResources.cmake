# The shipped resources (resources/ at the repository root) beside each
# executable that reads them, as <executable folder>/resources, and under
# share/salvor when installed. platform/Paths.cpp finds them there.
include_guard(GLOBAL)

# salvor_copy_resources(TARGET)
# Copies the resources next to TARGET's file on every build, so an edited
# string table or image reaches the build tree without relinking.
function(salvor_copy_resources target)
    add_custom_target(${target}_resources
        COMMAND ${CMAKE_COMMAND} -E copy_directory "${CMAKE_SOURCE_DIR}/resources"
                "$<TARGET_FILE_DIR:${target}>/resources"
        COMMENT "Copying resources for ${target}"
        VERBATIM)
    add_dependencies(${target} ${target}_resources)
endfunction()

install(DIRECTORY "${CMAKE_SOURCE_DIR}/resources/" DESTINATION share/salvor)
