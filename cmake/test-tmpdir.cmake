# The test suite's own TMPDIR, run as a CTest fixture: STEP=make empties it
# before the tests, STEP=check fails if any test left anything in it, naming
# what, and removes it. FOLDER is the folder.
if(STEP STREQUAL "make")
    file(REMOVE_RECURSE "${FOLDER}")
    file(MAKE_DIRECTORY "${FOLDER}")
elseif(STEP STREQUAL "check")
    file(GLOB left RELATIVE "${FOLDER}" "${FOLDER}/*")
    file(REMOVE_RECURSE "${FOLDER}")
    if(left)
        list(JOIN left ", " named)
        message(FATAL_ERROR "the tests left behind in TMPDIR (${FOLDER}): ${named}")
    endif()
else()
    message(FATAL_ERROR "STEP must be make or check")
endif()
