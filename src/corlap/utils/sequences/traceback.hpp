// Traceback entries that name the module's functions.
#pragma once

namespace corlap {

// Adds an entry "funcname" in "filename" at "line" to the traceback of the
// exception being raised.  Keeps the exception as it is if the entry cannot
// be made.
void add_traceback(const char* funcname, const char* filename, int line);

}  // namespace corlap
