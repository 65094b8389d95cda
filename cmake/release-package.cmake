# Makes a release zip: quarnhold.sys, quarnhold.pdb, the test certificate
# that signed the image (the amd64 zip only), the install script, README.txt
# and SHA256SUMS, flat, in that order. The copies are staged with fixed
# permissions and a fixed time, and zip is told to keep no owner or access
# times, so the same inputs give the same zip, whenever, wherever and by
# whomever it is made.
#
#   cmake -DIMAGE_DIR=<dir with quarnhold.sys and .pdb> -DSOURCE_DIR=<checkout>
#         -DSTAGE_DIR=<scratch folder, emptied> -DPACKAGE=<zip to write>
#         [-DMACHINE=x86|AMD64] [-DCERTIFICATE=<.cer>] [-DZIP=<Info-ZIP zip>]
#         -P release-package.cmake
#
# MACHINE (x86 unless given) is what the image is for; the install script's
# copy is told it, so that it can refuse the wrong Windows.

foreach(input IN ITEMS IMAGE_DIR SOURCE_DIR STAGE_DIR PACKAGE)
    if(NOT DEFINED ${input})
        message(FATAL_ERROR "release-package: -D${input}= is missing")
    endif()
endforeach()
if(NOT ZIP)
    find_program(ZIP zip REQUIRED)
endif()
if(NOT MACHINE)
    set(MACHINE x86)
endif()
if(NOT MACHINE MATCHES "^(x86|AMD64)$")
    message(FATAL_ERROR "release-package: MACHINE must be x86 or AMD64, not ${MACHINE}")
endif()

# Every entry is dated 2000-01-01 00:00:00 UTC.
set(fixed_time 946684800)

set(sources ${IMAGE_DIR}/quarnhold.sys ${IMAGE_DIR}/quarnhold.pdb)
if(CERTIFICATE)
    list(APPEND sources ${CERTIFICATE})
endif()
list(APPEND sources ${SOURCE_DIR}/install/quarnhold-service.cmd ${SOURCE_DIR}/install/README.txt)

file(REMOVE_RECURSE ${STAGE_DIR})
file(MAKE_DIRECTORY ${STAGE_DIR})
file(COPY ${sources} DESTINATION ${STAGE_DIR})

# The script names the machine in one line, x86 as it stands in the sources.
# file(READ) drops the carriage returns; file(CONFIGURE) puts them back.
set(script ${STAGE_DIR}/quarnhold-service.cmd)
file(READ ${script} script_text)
set(x86_line "set \"IMAGE_MACHINE=x86\"\n")
string(FIND "${script_text}" "${x86_line}" machine_line)
if(machine_line EQUAL -1)
    message(FATAL_ERROR "release-package: install/quarnhold-service.cmd has no line set \"IMAGE_MACHINE=x86\"")
endif()
string(REPLACE "${x86_line}" "set \"IMAGE_MACHINE=${MACHINE}\"\n" script_text "${script_text}")
file(CONFIGURE OUTPUT ${script} CONTENT "${script_text}" @ONLY NEWLINE_STYLE CRLF)

set(names "")
set(sums "")
foreach(source IN LISTS sources)
    get_filename_component(name ${source} NAME)
    file(SHA256 ${STAGE_DIR}/${name} hash)
    string(APPEND sums "${hash}  ${name}\n")
    list(APPEND names ${name})
endforeach()
file(WRITE ${STAGE_DIR}/SHA256SUMS "${sums}")
list(APPEND names SHA256SUMS)

list(TRANSFORM names PREPEND ${STAGE_DIR}/ OUTPUT_VARIABLE staged)
file(CHMOD ${staged} PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
execute_process(COMMAND touch -d @${fixed_time} -- ${staged} COMMAND_ERROR_IS_FATAL ANY)

# zip adds to an archive that is already there, and writes its entries'
# times in local time: remove the old zip, and zip in UTC. -X leaves out the
# owner and the access and change times; -D the folder entry.
file(REMOVE ${PACKAGE})
set(ENV{TZ} UTC)
execute_process(COMMAND ${ZIP} -q -X -D -9 ${PACKAGE} -- ${names}
    WORKING_DIRECTORY ${STAGE_DIR}
    COMMAND_ERROR_IS_FATAL ANY)
