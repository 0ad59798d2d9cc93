# The main road through the test host: the component, the sample
# configuration and data files in a fresh folder, one DataExport of the task
# without steps, and the delivered files checked.
#   -DHOST=<dvhost> -DEMULATOR=<a|b|c or empty> -DCOMPONENT=<Dorvelk library>
#   -DDEMO=<demo folder> -DWORK=<fresh folder> -DTARGET=<target folder text>
file(REMOVE_RECURSE "${WORK}")
file(MAKE_DIRECTORY "${WORK}")
file(COPY "${DEMO}/" DESTINATION "${WORK}")
file(COPY "${COMPONENT}" DESTINATION "${WORK}")
string(REPLACE "|" ";" emulator "${EMULATOR}")
execute_process(
  COMMAND ${emulator} "${HOST}" "${WORK}" DataExport component.xml DEMO_COPY "" @packages.xml
          "${TARGET}" "Operator=demo"
  WORKING_DIRECTORY "${WORK}"
  OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE rc)
message("${out}${err}")
if(NOT rc EQUAL 0 OR NOT out MATCHES "Result: 0\r?\nMessage: Operator=demo\r?\nResultText: out")
  message(FATAL_ERROR "the test host's DataExport failed (exit ${rc})")
endif()
foreach(f report-2024Q1.txt customers.csv notes.txt)
  if(NOT EXISTS "${WORK}/out/${f}")
    message(FATAL_ERROR "out/${f} was not delivered")
  endif()
endforeach()
file(READ "${WORK}/out/customers.csv" delivered)
file(READ "${DEMO}/data/customers.csv" original)
if(NOT delivered STREQUAL original)
  message(FATAL_ERROR "out/customers.csv differs from its source")
endif()
file(REMOVE_RECURSE "${WORK}")
