# voltrace-report.html: the report's very sources (report/, and voltrace's logfile and gauge
# core chargeleft) compiled to WebAssembly by Debian's emcc, inside report/shell.html as one
# script with the module in base64, so the page is one file that needs nothing beside it.
# The web build tests it; the device build puts it in the release, beside the programs whose
# logs it reads.
#
# Nothing runs on load; the page makes a fresh program for each run (MODULARIZE) and calls
# its main. Debian's node does not search /usr/share/nodejs, where emcc's optimiser finds
# acorn. No HTML minifier is installed.
function(add_report_page page)
  find_program(EMCC emcc REQUIRED)
  set(report ${PROJECT_SOURCE_DIR}/report)
  set(sources main.cpp summary.cpp gauge.cpp page.cpp)
  list(TRANSFORM sources PREPEND ${report}/)
  list(APPEND sources ${PROJECT_SOURCE_DIR}/voltrace/logfile.cpp
       ${PROJECT_SOURCE_DIR}/voltrace/chargeleft.cpp)
  file(GLOB headers CONFIGURE_DEPENDS ${report}/*.h)
  add_custom_command(
    OUTPUT ${page}
    COMMAND ${CMAKE_COMMAND} -E env NODE_PATH=/usr/share/nodejs
            ${EMCC} -O2 -std=c++17 -Wall -Wextra -Wshadow -Wformat=2
            -I${report} -I${PROJECT_SOURCE_DIR}/voltrace ${sources}
            -sENVIRONMENT=web -sSINGLE_FILE=1 -sMODULARIZE=1 -sEXPORT_NAME=createReport
            -sINVOKE_RUN=0 -sEXPORTED_RUNTIME_METHODS=callMain,FS -sALLOW_MEMORY_GROWTH=1
            -sMINIFY_HTML=0 --shell-file ${report}/shell.html -o ${page}
    DEPENDS ${sources} ${headers} ${PROJECT_SOURCE_DIR}/voltrace/logfile.h
            ${PROJECT_SOURCE_DIR}/voltrace/chargeleft.h ${report}/shell.html
            ${PROJECT_SOURCE_DIR}/cmake/report-page.cmake
    COMMENT "Compiling voltrace-report to WebAssembly inside voltrace-report.html"
    VERBATIM)
  add_custom_target(voltrace-report-page ALL DEPENDS ${page})
endfunction()
