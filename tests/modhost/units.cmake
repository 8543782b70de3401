# modhost's small parts, tested alone on every target.
se_add_gtest(modhost_units_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/units_test.cpp LIBS modhost_lib)
