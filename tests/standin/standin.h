#pragma once
// The shared state of the stand-in inference libraries (libstandin_state.so): the script that
// decides their results and the log of every call they receive. Every stand-in library links
// it, so all of them, and a test program that links it too, see one state per process.
//
// C interface, so that the stand-ins and the tests need nothing but this header.

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

// Forgets the script, the call log and the object counters (the next model is "model1" again).
// The script file named by STANDIN_SCRIPT is not read again after a reset.
void standin_reset(void);

// Adds the values of a script file (the format of STANDIN_SCRIPT, README.md); 0 when the file
// cannot be read.
int standin_load_script(const char* path);

// Sets one script value (raw bytes, no escapes); null value removes the key.
void standin_set(const char* key, const char* value);

// The scripted value of a key, or null. Valid until the key changes or the state is reset.
const char* standin_get(const char* key);

// Appends one line to the call log (and to the file named by STANDIN_LOG, if set).
void standin_record(const char* line);

// The call log: number of lines and one line (null past the end), valid until the next reset.
size_t standin_log_count(void);
const char* standin_log_line(size_t index);

// Writes the next name of a kind of object, as "model1", "model2", ... into `out` (32 bytes).
void standin_next_name(const char* kind, char out[32]);

// Counts one call of a kind and returns the new count (1 for the first since the last reset).
unsigned long standin_count(const char* kind);

#ifdef __cplusplus
}
#endif
