// serlink_ini: serlink's reader of the sensor-network configuration file
// "./ZR1Communicator.ini". It reads the [SERIAL] and [MSGQUE] sections only (the
// commander's sections share the file and are skipped) and echoes each setting
// it takes on standard output, as the start script's console expects.
#pragma once

#include <cstdio>

// The transceiver's settings. They start at the built-in defaults and keep their
// value when the file lacks a key (also across a restart's re-read).
extern char device[13];     // serial device, at most 12 characters
extern int baud;            // speed code: 1 4800, 2 9600, 3 19200, 4 38400
extern long timeout_usec;   // receive wait per chunk
extern int recvkey;         // request queue key ([MSGQUE] key1)
extern int sendkey;         // answer queue key ([MSGQUE] key2)

// Puts the built-in defaults back (program start; tests).
void ini_defaults();
// Reads the settings from an open file. Console lines go to out.
void ini_reader_file(FILE* in, FILE* out);
// Opens "./ZR1Communicator.ini" and reads it; a missing file is logged
// ("ini file open") and leaves the settings as they are.
void ini_reader();

// Speed code of a baud value ("19200...") and the text echoed for it (nullptr
// for a value that is not one of the four speeds; the code is then 3).
int ini_baud_code(const char* value, const char** echo);
