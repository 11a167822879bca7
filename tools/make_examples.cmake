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

include(${CMAKE_CURRENT_LIST_DIR}/recordings.cmake)
if(DEFINED WORK)
  file(REMOVE_RECURSE ${WORK})
  generate_recordings(example 2 ${WORK} ${EXAMPLES} tools/make_examples.cmake)
else()
  generate_recordings(example 2 ${EXAMPLES} "" tools/make_examples.cmake)
endif()
