// ini: the configuration file reader of gatex1d and gatex2d.
// The whole file is loaded into an ordered table of key/value pairs; lookups give
// the first entry with the key. In section mode (gatex2d) every key after a
// "[name]" header is also entered as "name.key".
#pragma once

// Section mode off (gatex1d, the default) or on (gatex2d).
void ini_set_sections(bool on);
// Empties the table and loads the file. 0 on success, -1 on failure (logged); on a
// failure the entries read before the faulty line stay in the table.
int ini_load(const char* path);
// Value of the first entry whose key equals key exactly, or nullptr. Valid until
// ini_clear() or the next ini_load().
const char* ini_value(const char* key);
// Removes every entry.
void ini_clear();
// Diagnostic: every entry as "(key)(value)" on standard output.
void ini_printAll();
