# fsrake2-report: loading scans into SQLite, the reports checked against the
# trees they came from, and the HTML page in a real browser.
if(TARGET fsrake2-report)
  find_package(SQLite3 REQUIRED)  # its imported target is visible per folder
  fr2_add_test(test_report
    SOURCES test_report_load.cpp test_report_reports.cpp test_report_trust.cpp test_report_input.cpp
            test_report_rollup.cpp
            test_report_util.cpp
    LIBS fr2r SQLite::SQLite3 LABELS report TIMEOUT 600)
  fr2_add_test(test_report_html
    SOURCES test_report_html.cpp test_report_util.cpp
    LIBS SQLite::SQLite3 LABELS report TIMEOUT 600)
  fr2_add_test(test_report_packaging
    SOURCES test_report_packaging.cpp LABELS report packaging TIMEOUT 300)
  target_compile_definitions(test_report_packaging PRIVATE
    FR2_SOURCE_DIR="${PROJECT_SOURCE_DIR}"
    FR2_BUILD_DIR="${PROJECT_BINARY_DIR}"
    FR2_CMAKE_COMMAND="${CMAKE_COMMAND}"
    FR2_PROJECT_VERSION="${PROJECT_VERSION}")
  if(TARGET fsrake2_man)
    add_dependencies(test_report_packaging fsrake2_man)
  endif()
  foreach(t test_report test_report_html test_report_packaging)
    target_compile_definitions(${t} PRIVATE FR2R_BINARY="$<TARGET_FILE:fsrake2-report>")
    add_dependencies(${t} fsrake2-report)
  endforeach()
endif()
