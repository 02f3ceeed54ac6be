# Read by ctest after the discovered root tests: label each "links" and "root".
if(links_root_test_list)
    set_tests_properties(${links_root_test_list} PROPERTIES LABELS "links;root")
endif()
