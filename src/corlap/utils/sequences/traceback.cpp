// Traceback entries that name the module's functions.
#include "traceback.hpp"

#include "pyref.hpp"

#include <frameobject.h>

namespace corlap {

void add_traceback(const char* funcname, const char* filename, int line) {
    PyObject* raised = PyErr_GetRaisedException();
    if (raised == nullptr) {
        return;
    }
    // An empty code object carries the names; a frame made from it gives the
    // traceback entry its place.  The frame's globals only need to exist.
    ref code(reinterpret_cast<PyObject*>(PyCode_NewEmpty(filename, funcname, line)));
    ref globals(code ? PyDict_New() : nullptr);
    ref frame;
    if (globals) {
        frame = ref(reinterpret_cast<PyObject*>(PyFrame_New(
            PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code.get()),
            globals.get(), nullptr)));
    }
    if (!frame) {
        // Out of memory while decorating an error: keep the original error.
        PyErr_Clear();
        PyErr_SetRaisedException(raised);
        return;
    }
    PyErr_SetRaisedException(raised);
    PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get()));
}

}  // namespace corlap
