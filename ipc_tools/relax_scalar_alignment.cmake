# Post-processes the generated schema header: the wire protocol checks the alignment of tables,
# offsets, strings and vectors, but not of scalar or struct fields inside a table. flatc 2.x
# emits an alignment check for every scalar field, which would refuse frames that other
# FlatBuffers writers lay out validly, so the field checks are relaxed to byte alignment.
#
# Usage: cmake -DHEADER=<path to vexil_ipc_generated.h> -P relax_scalar_alignment.cmake
if(NOT DEFINED HEADER)
  message(FATAL_ERROR "HEADER is not set")
endif()
file(READ "${HEADER}" generated)
string(REGEX REPLACE "(VerifyField<[^>]+>\\(verifier, VT_[A-Za-z0-9_]+, )[0-9]+\\)" "\\11)" relaxed "${generated}")
# Refuse to continue if flatc wrote a form this script does not recognise.
string(REGEX MATCHALL "VerifyField<[^)]*\\)" field_checks "${relaxed}")
foreach(check IN LISTS field_checks)
  if(NOT check MATCHES ", 1\\)$")
    message(FATAL_ERROR "Scalar field alignment check left in ${HEADER}: ${check}")
  endif()
endforeach()
file(WRITE "${HEADER}" "${relaxed}")
