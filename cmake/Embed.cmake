# embed_resources(<target> NAME <file> [NAME <file>...])
# Builds the files into <target> as gui::kEmbeddedResources, by name, so that
# the program reads nothing from disk at run time (the Linux counterpart of
# the Windows resources that windres compiles).
function(embed_resources target)
  set(output ${CMAKE_CURRENT_BINARY_DIR}/${target}_resources.cpp)
  set(args)
  set(depends)
  list(LENGTH ARGN count)
  math(EXPR last "${count} - 1")
  foreach(i RANGE 0 ${last} 2)
    math(EXPR j "${i} + 1")
    list(GET ARGN ${i} name)
    list(GET ARGN ${j} file)
    get_filename_component(file ${file} ABSOLUTE)
    list(APPEND args ${name}=${file})
    list(APPEND depends ${file})
  endforeach()
  string(REPLACE ";" "," args "${args}")
  add_custom_command(OUTPUT ${output}
    COMMAND ${CMAKE_COMMAND} -DOUTPUT=${output} "-DRESOURCES=${args}"
            -P ${PROJECT_SOURCE_DIR}/cmake/EmbedGenerate.cmake
    DEPENDS ${depends} ${PROJECT_SOURCE_DIR}/cmake/EmbedGenerate.cmake
    COMMENT "Embedding resources in ${target}"
    VERBATIM)
  target_sources(${target} PRIVATE ${output})
endfunction()
