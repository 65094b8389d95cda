# Test-signs a kernel image in place with osslsigncode: an Authenticode
# SHA-256 signature with page hashes, made with the published test key in
# test_signing/ at a fixed signing time (2000-01-01 00:00:00 UTC). RSA
# signatures with PKCS#1 v1.5 padding hold no randomness, so the same image
# and key give the same signed bytes.
#
#   cmake -DOSSLSIGNCODE=<program> -DCERTIFICATE=<.cer> -DKEY=<.key> -DIMAGE=<.sys> -P test-sign.cmake

foreach(input IN ITEMS OSSLSIGNCODE CERTIFICATE KEY IMAGE)
    if(NOT DEFINED ${input})
        message(FATAL_ERROR "test-sign: -D${input}= is missing")
    endif()
endforeach()

set(signed ${IMAGE}.signed)
file(REMOVE ${signed})
execute_process(
    COMMAND ${OSSLSIGNCODE} sign -certs ${CERTIFICATE} -key ${KEY} -h sha256 -ph -time 946684800
            -in ${IMAGE} -out ${signed}
    RESULT_VARIABLE result
    OUTPUT_VARIABLE output
    ERROR_VARIABLE output)
if(NOT result EQUAL 0)
    file(REMOVE ${signed})
    message(FATAL_ERROR "osslsigncode could not sign ${IMAGE}:\n${output}")
endif()
file(RENAME ${signed} ${IMAGE})
