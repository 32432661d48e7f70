# The message log file and the all-messages view.
wispline_add_test(tst_messagelog SOURCES tst_messagelog.cpp LIBS wispline_messaging)
wispline_add_test(tst_daymessages SOURCES tst_daymessages.cpp LIBS wispline_messaging)
