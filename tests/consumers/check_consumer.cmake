# Runs a consumer of the library and then the kelvorin tool on the same
# inputs, and holds the consumer's RSS output and report to the tool's.
#   cmake -DCONSUMER="program;args" -DTOOL=kelvorin -DDIR=folder
#         -DINPUTS="a.dat;b.dat;c.dat" -P check_consumer.cmake
# The consumer is called as CONSUMER DIR INPUTS... and writes DIR/rss.dat and
# the run's report DIR/report.txt; the tool then writes DIR/rss.dat again
# under the same name, which its report shows.
cmake_minimum_required(VERSION 3.25)
file(REMOVE_RECURSE ${DIR})
file(MAKE_DIRECTORY ${DIR})
execute_process(COMMAND ${CONSUMER} ${DIR} ${INPUTS} RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
    message(FATAL_ERROR "the consumer failed (${rc})")
endif()
file(RENAME ${DIR}/rss.dat ${DIR}/consumer.dat)
execute_process(COMMAND ${TOOL} -Overwrite -Verbose -RssOut ${DIR}/rss.dat ${INPUTS}
                OUTPUT_VARIABLE tool_report RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
    message(FATAL_ERROR "the tool failed (${rc})")
endif()
file(READ ${DIR}/report.txt report)
if(NOT "${report}Done\n" STREQUAL "${tool_report}")
    message(FATAL_ERROR "the report differs from the tool's:\n${report}\n---\n${tool_report}")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files ${DIR}/consumer.dat ${DIR}/rss.dat
                RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
    message(FATAL_ERROR "the consumer's output differs from the tool's")
endif()
message(STATUS "same report and output bytes as the tool")
