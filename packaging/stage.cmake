# CPack runs this on the staged files before it packs them: the Windows programs are signed
# (when a certificate is configured, see sign.sh) and every file gets the date of the last
# commit (SOURCE_DATE_EPOCH), so that the packages do not depend on when they were built.
set(stage "${CPACK_TEMPORARY_INSTALL_DIRECTORY}")
file(GLOB_RECURSE programs LIST_DIRECTORIES false "${stage}/*.exe")
foreach(program IN LISTS programs)
  execute_process(COMMAND sh "${CPACK_BRISCA_SIGN_SCRIPT}" "${program}" RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "signing ${program} failed")
  endif()
endforeach()
if(DEFINED ENV{SOURCE_DATE_EPOCH})
  execute_process(COMMAND find "${stage}" -exec touch -h -d "@$ENV{SOURCE_DATE_EPOCH}" {} +)
endif()
