# fsrake2-report: loading scans into SQLite, the reports checked against the
# trees they came from, and the HTML page in a real browser.
if(TARGET fsrake2-report)
  find_package(SQLite3 REQUIRED)  # its imported target is visible per folder
  fr2_add_test(test_report
    SOURCES test_report_load.cpp test_report_reports.cpp test_report_trust.cpp
            test_report_util.cpp
    LIBS fr2r SQLite::SQLite3 LABELS report TIMEOUT 600)
  fr2_add_test(test_report_html
    SOURCES test_report_html.cpp test_report_util.cpp
    LIBS SQLite::SQLite3 LABELS report TIMEOUT 600)
  foreach(t test_report test_report_html)
    target_compile_definitions(${t} PRIVATE FR2R_BINARY="$<TARGET_FILE:fsrake2-report>")
    add_dependencies(${t} fsrake2-report)
  endforeach()
endif()
