# Shared by the scripts that make committed recordings with the generator.
#
# generate_recordings(<prefix> <last> <target dir> <reference dir> <script>)
#   runs ${GENERATOR} (through ${EMULATOR}, when set) for the recipes
#   <prefix>_0 to <prefix>_<last>, each a file name followed by the generator's
#   arguments, writing the files under <target dir>. With a reference dir (not
#   empty), it fails unless each file equals the one there byte for byte, and
#   names <script> as the way to make them anew. Sets GENERATED_NAMES to the
#   file names in the caller's scope.
function(generate_recordings prefix last target_dir reference_dir script)
  set(names)
  foreach(index RANGE ${last})
    set(args ${${prefix}_${index}})
    list(POP_FRONT args name)
    list(APPEND names ${name})
    get_filename_component(dir ${target_dir}/${name} DIRECTORY)
    file(MAKE_DIRECTORY ${dir})
    execute_process(COMMAND ${EMULATOR} ${GENERATOR} ${args} ${target_dir}/${name} RESULT_VARIABLE result)
    if(NOT result EQUAL 0)
      message(FATAL_ERROR "quendix-gen failed for ${name}")
    endif()
    if(reference_dir)
      execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files ${target_dir}/${name} ${reference_dir}/${name}
                      RESULT_VARIABLE differs)
      if(NOT differs EQUAL 0)
        message(FATAL_ERROR "${reference_dir}/${name} is not what the generator makes; rerun ${script}")
      endif()
    endif()
  endforeach()
  set(GENERATED_NAMES ${names} PARENT_SCOPE)
endfunction()
