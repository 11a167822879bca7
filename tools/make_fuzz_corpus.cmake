# Makes the seed recordings of the conversion fuzz target with the frame-file
# generator: short files that between them hold clean runs, jumps, frames
# without the marker, R flags, wraps at the end block and at 65535, files
# with no valid frame, and fragments of several lengths.
#
#   cmake -DGENERATOR=<quendix-gen> -DCORPUS=<tests/fuzz/corpus/convert> -P make_fuzz_corpus.cmake
#       writes the seeds into CORPUS;
#   add -DWORK=<scratch dir> to write them there instead and fail unless
#       CORPUS holds exactly these seeds, byte for byte.

set(seed_0 clean.qvx --frames 4 --seed 1)
set(seed_1 jumps_and_gaps.qvx --frames 12 --start 2,28 --jump-every 4 --missing-every 5 --seed 2)
set(seed_2 r_flags_and_fragment.qvx --frames 6 --start 3,0 --r-flag-every 2 --fragment 50 --seed 3)
set(seed_3 end_block_wrap.qvx --frames 5 --start 7,509 --end-block 7 --seed 4)
set(seed_4 top_block.qvx --frames 4 --start 65535,510 --end-block 65535 --fragment 3 --seed 5)
set(seed_5 no_marker.qvx --frames 5 --missing-every 1 --fragment 131 --seed 6)
set(seed_6 fragment_only.qvx --frames 0 --fragment 7 --seed 7)

include(${CMAKE_CURRENT_LIST_DIR}/recordings.cmake)
if(DEFINED WORK)
  file(REMOVE_RECURSE ${WORK})
  generate_recordings(seed 6 ${WORK} ${CORPUS} tools/make_fuzz_corpus.cmake)
else()
  file(MAKE_DIRECTORY ${CORPUS})
  generate_recordings(seed 6 ${CORPUS} "" tools/make_fuzz_corpus.cmake)
endif()
set(names ${GENERATED_NAMES})

# A fuzzer run pointed at the committed seeds would add its own inputs there.
if(DEFINED WORK)
  file(GLOB present RELATIVE ${CORPUS} ${CORPUS}/*)
  list(REMOVE_ITEM present ${names})
  if(present)
    message(FATAL_ERROR "${CORPUS} holds files that are no seeds: ${present}")
  endif()
endif()
