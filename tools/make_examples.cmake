# Makes the bundled example recordings with the frame-file generator.
#
#   cmake -DGENERATOR=<quendix-gen> -DEXAMPLES=<examples dir> -P make_examples.cmake
#       writes the examples into EXAMPLES;
#   add -DWORK=<scratch dir> to write them there instead and fail unless they
#       equal the ones in EXAMPLES byte for byte;
#   add -DEMULATOR=<command> to run the generator through it (wine, for a
#       generator built for Windows).

set(example_0 morning.qvx --frames 60 --start 1,480 --seed 11)
set(example_1 afternoon.qvx --frames 26 --start 2,28 --jump-every 20 --missing-every 12 --seed 12)
set(example_2 day2/evening.qvx --frames 30 --start 3,0 --r-flag-every 7 --fragment 50 --seed 13)

if(DEFINED WORK)
  set(target_dir ${WORK})
  file(REMOVE_RECURSE ${WORK})
else()
  set(target_dir ${EXAMPLES})
endif()

foreach(index RANGE 2)
  set(args ${example_${index}})
  list(POP_FRONT args name)
  get_filename_component(dir ${target_dir}/${name} DIRECTORY)
  file(MAKE_DIRECTORY ${dir})
  execute_process(COMMAND ${EMULATOR} ${GENERATOR} ${args} ${target_dir}/${name} RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "quendix-gen failed for ${name}")
  endif()
  if(DEFINED WORK)
    execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files ${target_dir}/${name} ${EXAMPLES}/${name}
                    RESULT_VARIABLE differs)
    if(NOT differs EQUAL 0)
      message(FATAL_ERROR "examples/${name} is not what the generator makes; rerun tools/make_examples.cmake")
    endif()
  endif()
endforeach()
